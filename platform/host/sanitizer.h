#pragma once

// QS_UNDER_ASAN: the build runs under AddressSanitizer. gcc and clang say so in different ways.
#if defined(__SANITIZE_ADDRESS__)
#define QS_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QS_UNDER_ASAN 1
#endif
#endif
