// A shared library opened when a feature is first used rather than at every start: the mail
// and metrics libraries pull in TLS and protocol libraries that most runs never need.
#pragma once

#include <string>

namespace veltrin {

class LazyLibrary {
public:
    // Opens `soname` now (all symbols bound at once); it stays open for the process's life.
    explicit LazyLibrary(const char* soname);
    bool ok() const { return handle_ != nullptr; }
    // Why opening or the last failed Bind failed; empty otherwise.
    const std::string& error() const { return error_; }
    // Points `out` at function `name`; false (and error()) when the library has none.
    template <class F>
    bool Bind(const char* name, F& out) {
        void* symbol = Symbol(name);
        if (symbol == nullptr) return false;
        out = reinterpret_cast<F>(symbol);
        return true;
    }

private:
    void* Symbol(const char* name);
    void* handle_ = nullptr;
    std::string soname_;
    std::string error_;
};

}  // namespace veltrin
