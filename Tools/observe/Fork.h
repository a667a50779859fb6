// The process's fork handlers: every lock the library holds across a heap
// call is taken before fork and released in both processes after it, so that
// a child whose parent had other threads inside the library finds every lock
// free. Installed once, when the module is loaded; on systems without fork
// there is nothing to install.
#pragma once

namespace dideverazez::observe {

class Reporter;

class ForkHandlers {
public:
    // Installs the handlers (held: `reporter`, restarted in every child).
    explicit ForkHandlers(Reporter& reporter) noexcept;
    // A fork after this (from a later destructor) restarts no reporter.
    ~ForkHandlers();
    ForkHandlers(const ForkHandlers&) = delete;
    ForkHandlers& operator=(const ForkHandlers&) = delete;
};

} // namespace dideverazez::observe
