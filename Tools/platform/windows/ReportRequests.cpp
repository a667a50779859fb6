// Requests for a report on Windows: the named event, which asks for a report
// and gets no answer; the named pipe "\\.\pipe\dideverazez-report-<pid>",
// which `dideverazez-report take` connects to, asks ("snapshot\n") and reads
// the snapshot from; and an event of the object's own that stops the waiting
// thread.
//
// The pipe is this process's first instance of its name, so no other process
// can have made it first and answer in its place, and its access list lets
// only this user (the process token's) open it.

#include "platform/Platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <windows.h>

namespace dideverazez::platform {
namespace {

constexpr DWORD kPipeBuffer = 1 << 16;
constexpr DWORD kRequestWaitMs = 2000; // for the request's bytes, once connected
constexpr DWORD kAnswerWaitMs = 10000; // for the client to take each part of the answer
constexpr char kRequest[] = "snapshot\n";

struct Events {
    HANDLE request = nullptr, stop = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE connected = nullptr; // set when a client connects to the pipe
    OVERLAPPED connect{};
    bool pending = false;   // a connection is awaited
    bool answering = false; // a client asked: Answer writes to it
};

// The pipe's security: full access for this process's user, none for others.
// The buffers hold the descriptor's parts for as long as it is used.
struct OwnerOnly {
    SECURITY_ATTRIBUTES attributes{};
    SECURITY_DESCRIPTOR descriptor{};
    unsigned char user[256]{};
    unsigned char list[512]{};

    bool Make() {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return false;
        }
        DWORD size = 0;
        const bool read = ::GetTokenInformation(token, TokenUser, user, sizeof user, &size) != 0;
        ::CloseHandle(token);
        if (!read) {
            return false;
        }
        PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
        auto* acl = reinterpret_cast<ACL*>(list);
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
        return ::InitializeAcl(acl, sizeof list, ACL_REVISION) &&
               ::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
               ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    }
};

std::wstring PipeName(std::uint32_t process) {
    return L"\\\\.\\pipe\\dideverazez-report-" + std::to_wstring(process);
}

// Starts waiting for the next client; false when the pipe is gone.
bool AwaitClient(Events& events) {
    ::ResetEvent(events.connected);
    events.connect = {};
    events.connect.hEvent = events.connected;
    if (::ConnectNamedPipe(events.pipe, &events.connect)) {
        events.pending = true; // set already
        return true;
    }
    switch (::GetLastError()) {
    case ERROR_IO_PENDING:
        events.pending = true;
        return true;
    case ERROR_PIPE_CONNECTED: // came between the two calls
        ::SetEvent(events.connected);
        events.pending = true;
        return true;
    default:
        events.pending = false;
        return false;
    }
}

// Reads the request of the client just connected, within kRequestWaitMs:
// true when it asked for a snapshot.
bool ReadRequest(Events& events) {
    char bytes[sizeof kRequest - 1];
    DWORD got = 0;
    OVERLAPPED read{};
    read.hEvent = events.connected;
    ::ResetEvent(events.connected);
    for (DWORD total = 0; total < sizeof bytes; total += got) {
        if (!::ReadFile(events.pipe, bytes + total, sizeof bytes - total, nullptr, &read) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (::WaitForSingleObject(events.connected, kRequestWaitMs) != WAIT_OBJECT_0) {
            ::CancelIo(events.pipe);
            ::GetOverlappedResult(events.pipe, &read, &got, TRUE);
            return false;
        }
        if (!::GetOverlappedResult(events.pipe, &read, &got, FALSE) || got == 0) {
            return false;
        }
    }
    return std::memcmp(bytes, kRequest, sizeof bytes) == 0;
}

void HangUp(Events& events) {
    ::DisconnectNamedPipe(events.pipe);
    events.answering = false;
    AwaitClient(events);
}

} // namespace

void ReportRequests::SocketPath(char* buffer, std::size_t size, std::uint32_t process) {
    if (size > 0) {
        std::snprintf(buffer, size, "\\\\.\\pipe\\dideverazez-report-%lu",
                      static_cast<unsigned long>(process));
    }
}

bool ReportRequests::Open(bool) {
    auto* events = new Events;
    const std::uint32_t process = ::GetCurrentProcessId();
    const std::wstring name = L"Local\\dideverazez-report-" + std::to_wstring(process);
    events->request = ::CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    events->stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    events->connected = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state_ = events;
    if (events->stop == nullptr || events->connected == nullptr) {
        std::fprintf(stderr, "dideverazez: cannot make an event: %s; reports at exit only\n",
                     LastError());
        Close();
        return false;
    }
    OwnerOnly security;
    if (security.Make()) {
        events->pipe = ::CreateNamedPipeW(
            PipeName(process).c_str(),
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
            kPipeBuffer, kPipeBuffer, 0, &security.attributes);
    }
    if (events->pipe == INVALID_HANDLE_VALUE || !AwaitClient(*events)) {
        char pipe[64];
        SocketPath(pipe, sizeof pipe, process);
        std::fprintf(stderr, "dideverazez: cannot listen at %s: %s; take cannot ask this process\n",
                     pipe, LastError());
        if (events->pipe != INVALID_HANDLE_VALUE) {
            ::CloseHandle(events->pipe);
            events->pipe = INVALID_HANDLE_VALUE;
        }
    }
    listening_ = events->request != nullptr || events->pipe != INVALID_HANDLE_VALUE;
    return true;
}

void ReportRequests::Close() {
    auto* events = static_cast<Events*>(state_);
    if (events == nullptr) {
        return;
    }
    if (events->pipe != INVALID_HANDLE_VALUE) {
        ::CancelIo(events->pipe);
        ::CloseHandle(events->pipe);
    }
    for (HANDLE event : {events->request, events->stop, events->connected}) {
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
    // INFINITE is 0xFFFFFFFF: a longer interval is cut just short of it.
    const DWORD timeout = timeoutMs < 0                         ? INFINITE
                          : timeoutMs >= std::int64_t{INFINITE} ? INFINITE - 1
                                                                : static_cast<DWORD>(timeoutMs);
    for (;;) {
        HANDLE waited[3] = {events->stop};
        DWORD count = 1;
        if (events->request != nullptr) {
            waited[count++] = events->request;
        }
        const DWORD pipeAt = count;
        if (events->pending) {
            waited[count++] = events->connected;
        }
        const DWORD woken = ::WaitForMultipleObjects(count, waited, FALSE, timeout);
        if (woken == WAIT_TIMEOUT || woken == WAIT_OBJECT_0 || woken >= WAIT_OBJECT_0 + count ||
            stopped_.load()) {
            return false;
        }
        if (woken != WAIT_OBJECT_0 + pipeAt || !events->pending) {
            return true; // the named event
        }
        DWORD unused = 0;
        events->pending = false;
        if (::GetOverlappedResult(events->pipe, &events->connect, &unused, FALSE) &&
            ReadRequest(*events)) {
            events->answering = true;
            return true;
        }
        HangUp(*events); // a client that did not ask: waits for the next
    }
}

void ReportRequests::Answer(const char* text, std::size_t size) {
    auto* events = static_cast<Events*>(state_);
    if (events == nullptr || !events->answering) {
        return;
    }
    OVERLAPPED write{};
    write.hEvent = events->connected;
    for (std::size_t sent = 0; sent < size;) {
        const DWORD chunk =
            size - sent > kPipeBuffer ? kPipeBuffer : static_cast<DWORD>(size - sent);
        DWORD wrote = 0;
        ::ResetEvent(events->connected);
        if (!::WriteFile(events->pipe, text + sent, chunk, nullptr, &write) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        // A client that stops reading is hung up on rather than waited for.
        if (::WaitForSingleObject(events->connected, kAnswerWaitMs) != WAIT_OBJECT_0) {
            ::CancelIo(events->pipe);
            ::GetOverlappedResult(events->pipe, &write, &wrote, TRUE);
            break;
        }
        if (!::GetOverlappedResult(events->pipe, &write, &wrote, FALSE) || wrote == 0) {
            break; // the client went away
        }
        sent += wrote;
    }
    ::FlushFileBuffers(events->pipe);
    HangUp(*events);
}

void ReportRequests::Stop() {
    stopped_.store(true);
    if (auto* events = static_cast<Events*>(state_); events != nullptr && events->stop != nullptr) {
        ::SetEvent(events->stop);
    }
}

} // namespace dideverazez::platform
