// The device's formatted output: the kernel's debug formatter (NKDbgPrintfW), wsprintfW, and the
// shell's printf.
//
// The two wide formatters share one engine; a dialect says what each conversion character means
// to it, what a null string prints and how long one result may be.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/ce.h"
#include "platform/host/internal.h"

namespace {

enum class Size { Default, Short, Long, Int64 };

enum class Kind {
    Signed,
    Unsigned,
    HexLower,
    HexUpper,
    Pointer,
    WideString,
    NarrowString,
    WideChar,
    NarrowChar,
    Literal,  // written as it stands, takes no argument
};

struct Directive {
    bool leftAlign = false;
    bool alternate = false;
    bool zeroFill = false;
    size_t width = 0;
    std::optional<size_t> precision;
    Size size = Size::Default;
    char16_t conversion = 0;
};

struct Dialect {
    size_t maxChars;
    const char16_t *nullString;
    Kind (*classify)(char16_t conversion, Size size);
};

// The conversions both formatters read the same way.
Kind CommonKind(char16_t conversion, Size size)
{
    switch (conversion) {
        case u'd':
        case u'i':
            return Kind::Signed;
        case u'u':
            return Kind::Unsigned;
        case u'x':
            return Kind::HexLower;
        case u'X':
            return Kind::HexUpper;
        case u'p':
            return Kind::Pointer;
        case u's':
            return size == Size::Short ? Kind::NarrowString : Kind::WideString;
        case u'c':
            return size == Size::Short ? Kind::NarrowChar : Kind::WideChar;
        default:
            return Kind::Literal;
    }
}

Kind KernelKind(char16_t conversion, Size size)
{
    if (conversion == u'S' || conversion == u'a')
        return Kind::NarrowString;
    return CommonKind(conversion, size);
}

Kind WsprintfKind(char16_t conversion, Size size)
{
    if (conversion == u'S')
        return size == Size::Long ? Kind::WideString : Kind::NarrowString;
    if (conversion == u'C')
        return size == Size::Long ? Kind::WideChar : Kind::NarrowChar;
    return CommonKind(conversion, size);
}

constexpr size_t kKernelMaxChars = 383;
constexpr size_t kWsprintfBufferChars = 1024;  // the terminator included

// No result is longer than this, so no width or precision needs to be either.
constexpr size_t kLongestField = kWsprintfBufferChars;

constexpr Dialect kKernel{kKernelMaxChars, u"(NULL)", KernelKind};
constexpr Dialect kWsprintf{kWsprintfBufferChars - 1, u"(null)", WsprintfKind};

// A copy of the caller's arguments, read in order.
class Arguments {
public:
    explicit Arguments(va_list args) { va_copy(args_, args); }
    ~Arguments() { va_end(args_); }
    Arguments(const Arguments &) = delete;
    Arguments &operator=(const Arguments &) = delete;

    template <typename T>
    T Next()
    {
        return va_arg(args_, T);
    }

private:
    va_list args_;
};

// The result under construction; whatever goes past the limit is cut.
class Output {
public:
    explicit Output(size_t limit) : limit_(limit) {}

    bool Full() const { return text_.size() >= limit_; }
    void Put(std::u16string_view text) { text_.append(text.substr(0, Room())); }
    void Fill(char16_t unit, size_t count) { text_.append(std::min(count, Room()), unit); }
    std::u16string Take() { return std::move(text_); }

private:
    size_t Room() const { return limit_ - text_.size(); }

    size_t limit_;
    std::u16string text_;
};

// head (sign, radix prefix) and body padded to the width: zeros go between the two.
void PutField(Output &out, const Directive &directive, std::u16string_view head,
              std::u16string_view body, bool zeroPadding)
{
    size_t length = head.size() + body.size();
    size_t fill = directive.width > length ? directive.width - length : 0;
    if (directive.leftAlign) {
        out.Put(head);
        out.Put(body);
        out.Fill(u' ', fill);
    } else if (zeroPadding) {
        out.Put(head);
        out.Fill(u'0', fill);
        out.Put(body);
    } else {
        out.Fill(u' ', fill);
        out.Put(head);
        out.Put(body);
    }
}

struct Integer {
    uint64_t magnitude = 0;
    bool negative = false;
};

unsigned BitsOf(Size size)
{
    switch (size) {
        case Size::Short:
            return 16;
        case Size::Int64:
            return 64;
        default:
            return 32;  // the device's int and long
    }
}

Integer ReadInteger(Arguments &args, Size size, bool isSigned)
{
    unsigned bits = BitsOf(size);
    uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    uint64_t raw = bits == 64 ? args.Next<unsigned long long>() : args.Next<unsigned int>();
    raw &= mask;
    bool negative = isSigned && (raw >> (bits - 1)) != 0;
    return {negative ? (~raw + 1) & mask : raw, negative};
}

std::u16string Digits(uint64_t value, unsigned base, bool upper)
{
    const char *symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(symbols[value % base]));
        value /= base;
    } while (value != 0);
    return digits;
}

void PutInteger(Output &out, const Directive &directive, Integer value, unsigned base, bool upper)
{
    std::u16string digits = Digits(value.magnitude, base, upper);
    if (directive.precision && digits.size() < *directive.precision)
        digits.insert(0, *directive.precision - digits.size(), u'0');
    std::u16string head = value.negative ? u"-" : u"";
    if (directive.alternate && base == 16)
        head += upper ? u"0X" : u"0x";
    PutField(out, directive, head, digits, directive.zeroFill && !directive.precision);
}

// The device's pointers are 32 bits: eight upper-case hexadecimal digits.
void PutPointer(Output &out, const Directive &directive, const void *pointer)
{
    Directive asHex = directive;
    asHex.alternate = false;
    asHex.precision = 8;
    auto low32 = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
    PutInteger(out, asHex, Integer{low32, false}, 16, true);
}

// A string's units up to its terminator or the precision, whichever comes first; narrow text
// widens byte for byte (the device's code page read as Latin-1).
template <typename Char>
std::u16string TakeText(const Char *text, std::optional<size_t> precision)
{
    std::u16string units;
    for (size_t i = 0; text[i] != 0 && (!precision || i < *precision); ++i)
        units.push_back(static_cast<std::make_unsigned_t<Char>>(text[i]));
    return units;
}

template <typename Char>
void PutString(Output &out, const Directive &directive, const Dialect &dialect, const Char *text)
{
    std::u16string units = text ? TakeText(text, directive.precision)
                                : TakeText(dialect.nullString, directive.precision);
    PutField(out, directive, {}, units, false);
}

void PutChar(Output &out, const Directive &directive, char16_t unit)
{
    PutField(out, directive, {}, std::u16string_view(&unit, 1), false);
}

void Convert(Output &out, const Dialect &dialect, const Directive &directive, Arguments &args)
{
    switch (dialect.classify(directive.conversion, directive.size)) {
        case Kind::Signed:
            return PutInteger(out, directive, ReadInteger(args, directive.size, true), 10, false);
        case Kind::Unsigned:
            return PutInteger(out, directive, ReadInteger(args, directive.size, false), 10, false);
        case Kind::HexLower:
            return PutInteger(out, directive, ReadInteger(args, directive.size, false), 16, false);
        case Kind::HexUpper:
            return PutInteger(out, directive, ReadInteger(args, directive.size, false), 16, true);
        case Kind::Pointer:
            return PutPointer(out, directive, args.Next<const void *>());
        case Kind::WideString:
            return PutString(out, directive, dialect, args.Next<const char16_t *>());
        case Kind::NarrowString:
            return PutString(out, directive, dialect, args.Next<const char *>());
        case Kind::WideChar:
            return PutChar(out, directive, static_cast<char16_t>(args.Next<int>()));
        case Kind::NarrowChar:
            return PutChar(out, directive, static_cast<unsigned char>(args.Next<int>()));
        case Kind::Literal:
            return out.Put(std::u16string_view(&directive.conversion, 1));
    }
}

bool IsDigit(char16_t unit)
{
    return unit >= u'0' && unit <= u'9';
}

size_t ParseNumber(const char16_t *&at)
{
    size_t value = 0;
    while (IsDigit(*at))
        value = std::min(value * 10 + (*at++ - u'0'), kLongestField);
    return value;
}

void ParseFlags(const char16_t *&at, Directive &directive)
{
    for (;; ++at) {
        if (*at == u'-')
            directive.leftAlign = true;
        else if (*at == u'#')
            directive.alternate = true;
        else if (*at == u'0')
            directive.zeroFill = true;
        else
            return;
    }
}

// A width from the arguments: a negative one aligns left.
void ParseWidth(const char16_t *&at, Directive &directive, Arguments &args)
{
    if (*at != u'*') {
        directive.width = ParseNumber(at);
        return;
    }
    ++at;
    int width = args.Next<int>();
    if (width < 0)
        directive.leftAlign = true;
    size_t magnitude = width < 0 ? -static_cast<size_t>(width) : static_cast<size_t>(width);
    directive.width = std::min(magnitude, kLongestField);
}

// A precision from the arguments: a negative one counts as none.
void ParsePrecision(const char16_t *&at, Directive &directive, Arguments &args)
{
    if (*at != u'.')
        return;
    ++at;
    if (*at != u'*') {
        directive.precision = ParseNumber(at);
        return;
    }
    ++at;
    int precision = args.Next<int>();
    if (precision >= 0)
        directive.precision = std::min(static_cast<size_t>(precision), kLongestField);
}

void ParseSize(const char16_t *&at, Directive &directive)
{
    if (*at == u'h') {
        directive.size = Size::Short;
        ++at;
    } else if (*at == u'l') {
        directive.size = Size::Long;
        ++at;
    } else if (std::u16string_view(at).starts_with(u"I64")) {
        directive.size = Size::Int64;
        at += 3;
    }
}

// Reads one conversion after its '%'; leaves `at` after the conversion character. False when the
// format ends inside it.
bool ParseDirective(const char16_t *&at, Directive &directive, Arguments &args)
{
    ParseFlags(at, directive);
    ParseWidth(at, directive, args);
    ParsePrecision(at, directive, args);
    ParseSize(at, directive);
    if (*at == 0)
        return false;
    directive.conversion = *at++;
    return true;
}

std::u16string Format(const Dialect &dialect, const char16_t *format, va_list callerArgs)
{
    Output out(dialect.maxChars);
    if (format == nullptr)
        return out.Take();
    Arguments args(callerArgs);
    const char16_t *at = format;
    while (*at != 0 && !out.Full()) {
        std::u16string_view rest(at);
        size_t literal = std::min(rest.find(u'%'), rest.size());
        if (literal != 0) {
            out.Put(rest.substr(0, literal));
            at += literal;
            continue;
        }
        ++at;
        Directive directive;
        if (!ParseDirective(at, directive, args))
            break;
        Convert(out, dialect, directive, args);
    }
    return out.Take();
}

}  // namespace

void NKDbgPrintfW(LPCWSTR lpszFmt, ...)
{
    va_list args;
    va_start(args, lpszFmt);
    std::u16string text = Format(kKernel, lpszFmt, args);
    va_end(args);
    ce_host::EmitDebugLog(text);
}

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...)
{
    va_list args;
    va_start(args, lpFmt);
    std::u16string text = Format(kWsprintf, lpFmt, args);
    va_end(args);
    text.copy(lpOut, text.size());
    lpOut[text.size()] = 0;
    return static_cast<int>(text.size());
}

int CePrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measuring;
    va_copy(measuring, args);
    int length = vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length < 0) {
        va_end(args);
        return length;
    }
    std::string text(static_cast<size_t>(length), '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    ce_host::EmitStdout(text);
    return length;
}
