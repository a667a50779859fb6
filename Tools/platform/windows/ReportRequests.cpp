// Requests for a report on Windows: the named event, and an event of the
// object's own that stops the waiting thread.

#include "platform/Platform.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <windows.h>

namespace dideverazez::platform {
namespace {

struct Events {
    HANDLE request = nullptr, stop = nullptr;
};

} // namespace

void ReportRequests::SocketPath(char* buffer, std::size_t size, std::uint32_t) {
    if (size > 0) {
        buffer[0] = '\0';
    }
}

bool ReportRequests::Open(bool) {
    auto* events = new Events;
    const std::wstring name =
        L"Local\\dideverazez-report-" + std::to_wstring(::GetCurrentProcessId());
    events->request = ::CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    events->stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state_ = events;
    listening_ = events->request != nullptr;
    if (events->stop == nullptr) {
        std::fprintf(stderr, "dideverazez: cannot make an event: %s; reports at exit only\n",
                     LastError());
        Close();
        return false;
    }
    return true;
}

void ReportRequests::Close() {
    auto* events = static_cast<Events*>(state_);
    if (events == nullptr) {
        return;
    }
    for (HANDLE event : {events->request, events->stop}) {
        if (event != nullptr) {
            ::CloseHandle(event);
        }
    }
    delete events;
    state_ = nullptr;
    listening_ = false;
}

void ReportRequests::Abandon() {
    Close();
    stopped_.store(false);
}

ReportRequests::~ReportRequests() {
    Close();
}

bool ReportRequests::Wait(std::int64_t timeoutMs) {
    auto* events = static_cast<Events*>(state_);
    if (stopped_.load() || events == nullptr) {
        return false;
    }
    const HANDLE both[] = {events->stop, events->request};
    // INFINITE is 0xFFFFFFFF: a longer interval is cut just short of it.
    const DWORD timeout = timeoutMs < 0                         ? INFINITE
                          : timeoutMs >= std::int64_t{INFINITE} ? INFINITE - 1
                                                                : static_cast<DWORD>(timeoutMs);
    return ::WaitForMultipleObjects(events->request != nullptr ? 2 : 1, both, FALSE, timeout) ==
               WAIT_OBJECT_0 + 1 &&
           !stopped_.load();
}

void ReportRequests::Answer(const char*, std::size_t) {}

void ReportRequests::Stop() {
    stopped_.store(true);
    if (auto* events = static_cast<Events*>(state_); events != nullptr && events->stop != nullptr) {
        ::SetEvent(events->stop);
    }
}

} // namespace dideverazez::platform
