// A shared library opened when a feature is first used rather than at every start: the mail
// and metrics libraries pull in TLS and protocol libraries that most runs never need.
#pragma once

#include <mutex>
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

// The function table `Api` of library `soname`, opened once (any thread) on the first call:
// `bind(library, api)` fills it and says whether every function was there, `ready(api)` finishes
// the set-up and returns why it failed (empty: ready). Null when either failed; `error` (when
// given) then says why. Each Api type is opened from one place.
template <class Api, class BindFn, class ReadyFn>
const Api* OpenOnce(const char* soname, BindFn bind, ReadyFn ready, std::string* error) {
    struct Table {
        Api api;
        bool ok = false;
        std::string error;
    };
    static std::once_flag once;
    static Table table;
    std::call_once(once, [&] {
        LazyLibrary library(soname);
        if (!library.ok() || !bind(library, table.api)) {
            table.error = library.error();
            return;
        }
        table.error = ready(table.api);
        table.ok = table.error.empty();
    });
    if (!table.ok) {
        if (error != nullptr) *error = table.error;
        return nullptr;
    }
    return &table.api;
}

}  // namespace veltrin
