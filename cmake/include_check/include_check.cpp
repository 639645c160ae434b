// A compiler plugin for the unity builds: a file compiles there because an earlier file of its
// unit included a header that it forgets itself, and the same file alone does not compile. The
// plugin reports, as an error at the use, every name and macro that a project file (source or
// header) uses from a project header it does not reach through its own includes. Third-party and
// system headers are not judged: the precompiled headers include them in every file anyway.
#include <clang/AST/ASTConsumer.h>
#include <clang/AST/ASTContext.h>
#include <clang/AST/RecursiveASTVisitor.h>
#include <clang/Basic/SourceManager.h>
#include <clang/Frontend/CompilerInstance.h>
#include <clang/Frontend/FrontendPluginRegistry.h>
#include <clang/Lex/MacroInfo.h>
#include <clang/Lex/PPCallbacks.h>
#include <clang/Lex/Preprocessor.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using clang::FileEntry;
using clang::SourceLocation;

// Which file includes which, recorded for every directive, also those an include guard skips.
class IncludeGraph {
public:
    void Add(const FileEntry *from, const FileEntry *to)
    {
        if (from && to && edges_[from].insert(to).second)
            reached_.clear();
    }

    bool Reaches(const FileEntry *from, const FileEntry *to)
    {
        if (from == to)
            return true;
        auto known = reached_.find(from);
        if (known == reached_.end())
            known = reached_.emplace(from, Closure(from)).first;
        return known->second.count(to) != 0;
    }

private:
    std::set<const FileEntry *> Closure(const FileEntry *from) const
    {
        std::set<const FileEntry *> seen;
        std::vector<const FileEntry *> pending{from};
        while (!pending.empty()) {
            const FileEntry *file = pending.back();
            pending.pop_back();
            auto next = edges_.find(file);
            if (next == edges_.end())
                continue;
            for (const FileEntry *to : next->second)
                if (seen.insert(to).second)
                    pending.push_back(to);
        }
        return seen;
    }

    std::map<const FileEntry *, std::set<const FileEntry *>> edges_;
    std::map<const FileEntry *, std::set<const FileEntry *>> reached_;
};

// Judges one use: the file it is written in must reach the file that declares what it uses.
class UseJudge {
public:
    UseJudge(clang::CompilerInstance &compiler, IncludeGraph &graph)
        : sources_(compiler.getSourceManager()),
          diagnostics_(compiler.getDiagnostics()),
          graph_(graph),
          error_(diagnostics_.getCustomDiagID(
              clang::DiagnosticsEngine::Error,
              "'%0' comes from '%1', which this file does not include: it compiles only after "
              "another file of its unity unit"))
    {
    }

    // The project file a location is written in, or null for the unit itself, the compiler's
    // own text and third-party headers.
    const FileEntry *ProjectFile(SourceLocation location) const
    {
        if (location.isInvalid())
            return nullptr;
        SourceLocation at = sources_.getFileLoc(location);
        if (sources_.isInSystemHeader(at) || sources_.isWrittenInMainFile(at))
            return nullptr;
        return sources_.getFileEntryForID(sources_.getFileID(at));
    }

    // `homes` are the files that declare the thing used (every redeclaration counts).
    void Judge(SourceLocation use, const std::vector<SourceLocation> &homes,
               const std::string &name)
    {
        const FileEntry *user = ProjectFile(use);
        if (!user)
            return;
        const FileEntry *missing = nullptr;
        for (SourceLocation home : homes) {
            SourceLocation at = sources_.getFileLoc(home);
            // Something declared in a third-party header, or by the compiler, is not judged.
            if (at.isInvalid() || sources_.isInSystemHeader(at))
                return;
            const FileEntry *file = sources_.getFileEntryForID(sources_.getFileID(at));
            if (!file || graph_.Reaches(user, file))
                return;
            missing = missing ? missing : file;
        }
        if (!missing || !reported_.insert({user, missing}).second)
            return;
        diagnostics_.Report(sources_.getFileLoc(use), error_) << name << missing->getName();
    }

private:
    clang::SourceManager &sources_;
    clang::DiagnosticsEngine &diagnostics_;
    IncludeGraph &graph_;
    unsigned error_;
    std::set<std::pair<const FileEntry *, const FileEntry *>> reported_;  // one error a header
};

class IncludeRecorder : public clang::PPCallbacks {
public:
    IncludeRecorder(clang::SourceManager &sources, IncludeGraph &graph, UseJudge &judge)
        : sources_(sources), graph_(graph), judge_(judge)
    {
    }

    void InclusionDirective(SourceLocation hash, const clang::Token &, llvm::StringRef, bool,
                            clang::CharSourceRange, const FileEntry *file, llvm::StringRef,
                            llvm::StringRef, const clang::Module *,
                            clang::SrcMgr::CharacteristicKind) override
    {
        graph_.Add(sources_.getFileEntryForID(sources_.getFileID(hash)), file);
    }

    void MacroExpands(const clang::Token &name, const clang::MacroDefinition &definition,
                      clang::SourceRange, const clang::MacroArgs *) override
    {
        if (const clang::MacroInfo *macro = definition.getMacroInfo())
            judge_.Judge(name.getLocation(), {macro->getDefinitionLoc()},
                         name.getIdentifierInfo()->getName().str());
    }

private:
    clang::SourceManager &sources_;
    IncludeGraph &graph_;
    UseJudge &judge_;
};

class UseVisitor : public clang::RecursiveASTVisitor<UseVisitor> {
public:
    UseVisitor(clang::SourceManager &sources, UseJudge &judge) : sources_(sources), judge_(judge) {}

    // Third-party declarations are not walked into: their uses are not ours to judge.
    bool TraverseDecl(clang::Decl *decl)
    {
        if (decl && !llvm::isa<clang::TranslationUnitDecl>(decl) &&
            !llvm::isa<clang::NamespaceDecl>(decl) && !llvm::isa<clang::LinkageSpecDecl>(decl) &&
            sources_.isInSystemHeader(sources_.getFileLoc(decl->getLocation())))
            return true;
        return RecursiveASTVisitor::TraverseDecl(decl);
    }

    bool VisitDeclRefExpr(clang::DeclRefExpr *use)
    {
        Judge(use->getLocation(), use->getDecl());
        return true;
    }
    bool VisitMemberExpr(clang::MemberExpr *use)
    {
        Judge(use->getMemberLoc(), use->getMemberDecl());
        return true;
    }
    bool VisitTagTypeLoc(clang::TagTypeLoc type)
    {
        Judge(type.getNameLoc(), type.getDecl());
        return true;
    }
    bool VisitTypedefTypeLoc(clang::TypedefTypeLoc type)
    {
        Judge(type.getNameLoc(), type.getTypedefNameDecl());
        return true;
    }
    bool VisitTemplateSpecializationTypeLoc(clang::TemplateSpecializationTypeLoc type)
    {
        Judge(type.getTemplateNameLoc(), type.getTypePtr()->getTemplateName().getAsTemplateDecl());
        return true;
    }

private:
    void Judge(SourceLocation use, clang::NamedDecl *used)
    {
        if (!used || IsLocal(used))
            return;
        if (auto *function = llvm::dyn_cast<clang::FunctionDecl>(used))
            if (clang::FunctionTemplateDecl *pattern = function->getPrimaryTemplate())
                used = pattern;
        // The first declaration leads, so that an error names the header rather than a
        // definition in another source file.
        const clang::Decl *first = used->getCanonicalDecl();
        std::vector<SourceLocation> homes{first->getLocation()};
        for (const clang::Decl *declaration : used->redecls())
            if (declaration != first)
                homes.push_back(declaration->getLocation());
        judge_.Judge(use, homes, used->getQualifiedNameAsString());
    }

    // Parameters, locals and template parameters live in the file that uses them.
    static bool IsLocal(const clang::NamedDecl *used)
    {
        return used->isTemplateParameter() || used->getParentFunctionOrMethod() != nullptr ||
               llvm::isa<clang::ParmVarDecl>(used);
    }

    clang::SourceManager &sources_;
    UseJudge &judge_;
};

class IncludeCheckConsumer : public clang::ASTConsumer {
public:
    explicit IncludeCheckConsumer(clang::CompilerInstance &compiler)
        : sources_(compiler.getSourceManager()), judge_(compiler, graph_)
    {
        compiler.getPreprocessor().addPPCallbacks(
            std::make_unique<IncludeRecorder>(sources_, graph_, judge_));
    }

    void HandleTranslationUnit(clang::ASTContext &context) override
    {
        UseVisitor(sources_, judge_).TraverseDecl(context.getTranslationUnitDecl());
    }

private:
    clang::SourceManager &sources_;
    IncludeGraph graph_;
    UseJudge judge_;
};

class IncludeCheckAction : public clang::PluginASTAction {
protected:
    std::unique_ptr<clang::ASTConsumer> CreateASTConsumer(clang::CompilerInstance &compiler,
                                                          llvm::StringRef) override
    {
        return std::make_unique<IncludeCheckConsumer>(compiler);
    }
    bool ParseArgs(const clang::CompilerInstance &, const std::vector<std::string> &) override
    {
        return true;
    }
    ActionType getActionType() override { return AddAfterMainAction; }
};

}  // namespace

static clang::FrontendPluginRegistry::Add<IncludeCheckAction> gRegistration(
    "qs-include-check", "every name a file uses comes from a header it includes");
