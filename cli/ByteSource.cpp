#include "ByteSource.h"

#include "ReadError.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace dideverazez::report {

namespace {

// The bytes read at a time from a file, or taken of a text: shorter than a
// token may be, so that a run of number bytes reaches the bound only across
// buffers (Scan).
constexpr std::size_t kBuffer = std::size_t{1} << 16;
static_assert(kBuffer < kMaxString);

// The bytes of a JSON number's text.
constexpr std::array<bool, 256> kNumberByte = [] {
    std::array<bool, 256> bytes{};
    for (const char c : std::string_view("0123456789+-.eE")) {
        bytes[static_cast<unsigned char>(c)] = true;
    }
    return bytes;
}();

// "LINE:COLUMN".
std::string LineColumn(std::size_t line, std::size_t column) {
    return std::to_string(line) + ":" + std::to_string(column);
}

// "1 MiB", "4 GiB", or "1,000 bytes" when it is no whole number of either.
std::string Size(std::uint64_t bytes) {
    if (bytes % (std::uint64_t{1} << 30) == 0 && bytes > 0) {
        return std::to_string(bytes >> 30) + " GiB";
    }
    if (bytes % (std::uint64_t{1} << 20) == 0 && bytes > 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    const std::string digits = std::to_string(bytes);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text + " bytes";
}

} // namespace

ByteSource::ByteSource(std::FILE* stream, std::FILE* copy, std::uint64_t maxCopy,
                       const std::string& file)
    : stream_(stream), copy_(copy), maxCopy_(maxCopy), file_(file), buffer_(kBuffer) {
    begin_ = pos_ = end_ = full_ = buffer_.data();
    if (copy_ == nullptr) {
        const off_t start = ftello(stream_);
        start_ = start > 0 ? static_cast<std::uint64_t>(start) : 0;
    }
}

ByteSource::ByteSource(std::string_view text, const std::string& file)
    : file_(file), textEnd_(text.data() + text.size()) {
    begin_ = pos_ = end_ = full_ = text.data();
}

ByteSource::~ByteSource() {
    for (std::FILE* stream : {stream_, copy_}) {
        if (stream != nullptr) {
            std::fclose(stream);
        }
    }
}

std::size_t ByteSource::Start() {
    CountTo(Offset());
    firstFeed_ = kNone;
    contentAfter_ = false;
    return line_;
}

std::string ByteSource::Position(std::uint64_t offset) {
    if (offset >= counted_ && offset <= Offset()) {
        CountTo(offset);
    }
    const std::uint64_t column = offset >= lineStart_ ? offset - lineStart_ + 1 : 1;
    return LineColumn(line_, static_cast<std::size_t>(column));
}

void ByteSource::Drain() {
    checking_ = false;
    CountTo(Offset());
    while (!contentAfter_ && More()) {
        pos_ = end_;
        CountTo(Offset());
    }
}

void ByteSource::Seek(std::uint64_t offset, std::size_t line) {
    if (stream_ == nullptr) {
        pos_ = end_ = full_ = begin_ + offset;
    } else {
        if (copy_ != nullptr) {
            ReadFromCopy();
        }
        if (fseeko(stream_, static_cast<off_t>(start_ + offset), SEEK_SET) != 0) {
            throw ReadError(file_ + ": cannot read again: " + std::strerror(errno));
        }
        begin_ = pos_ = end_ = full_ = buffer_.data();
        base_ = offset;
    }
    counted_ = lineStart_ = offset;
    line_ = line;
    inString_ = escape_ = over_ = false;
    tokenStart_ = offset;
    checking_ = true;
}

std::string_view ByteSource::Piece(std::uint64_t most) {
    if (!More()) {
        throw ReadError(file_ + ": changed while it was read");
    }
    const auto size = static_cast<std::size_t>(
        std::min<std::uint64_t>(most, static_cast<std::uint64_t>(end_ - pos_)));
    const std::string_view piece(pos_, size);
    pos_ += size;
    return piece;
}

bool ByteSource::Refill() {
    for (;;) {
        if (end_ != full_) {
            // The parser has come to the first byte past the bound.
            if (checking_) {
                throw ReadError(file_ + ":" + Position(Offset()) + ": not a snapshot: a " +
                                (stopNumber_ ? "number" : "string") + " longer than " +
                                Size(kMaxString));
            }
            end_ = full_;
            return true;
        }
        if (!Load()) {
            return false;
        }
        if (pos_ != end_) {
            return true;
        }
    }
}

// The next buffer, or window of a text, scanned; false at the end.
bool ByteSource::Load() {
    const char* from = full_;
    if (stream_ == nullptr) {
        if (full_ == textEnd_) {
            return false;
        }
        full_ += std::min<std::size_t>(kBuffer, static_cast<std::size_t>(textEnd_ - full_));
    } else {
        CountTo(Offset());
        base_ = Offset();
        const std::size_t got = std::fread(buffer_.data(), 1, buffer_.size(), stream_);
        if (got == 0 && std::ferror(stream_)) {
            throw ReadError(file_ + ": cannot read: " + std::strerror(errno));
        }
        Keep(buffer_.data(), got);
        from = begin_ = pos_ = buffer_.data();
        full_ = begin_ + got;
    }
    end_ = full_;
    Scan(from);
    return from != full_;
}

// Writes what was read to the copy, if any.
void ByteSource::Keep(const char* bytes, std::size_t size) {
    if (copy_ == nullptr) {
        return;
    }
    if (size > maxCopy_ - copied_) {
        throw ReadError(file_ + ": more than " + Size(maxCopy_) +
                        " from a pipe, which html and FILE@-N read again from a copy of at "
                        "most " +
                        Size(maxCopy_) + ": write it to a file first");
    }
    copied_ += size;
    if (std::fwrite(bytes, 1, size, copy_) != size) {
        throw ReadError(file_ + ": cannot keep a copy: " + std::strerror(errno));
    }
}

// Copies the rest of the input, then reads from the copy.
void ByteSource::ReadFromCopy() {
    std::vector<char> buffer(kBuffer);
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), stream_)) > 0) {
        Keep(buffer.data(), got);
    }
    if (std::ferror(stream_)) {
        throw ReadError(file_ + ": cannot read: " + std::strerror(errno));
    }
    std::fclose(stream_);
    stream_ = copy_;
    copy_ = nullptr;
    start_ = 0;
}

// Follows strings and numbers through [from, full_): where the token read
// starts, and whether a string's last byte was an escaping backslash. end_ is
// put at the first byte past kMaxString of a token. Where the text is no JSON
// the scan may go wrong, but the parser stops before it matters.
void ByteSource::Scan(const char* from) {
    const char* p = from;
    while (p < full_) {
        if (inString_) {
            p = ScanString(p);
            continue;
        }
        // Up to the next quote. The run of number bytes from tokenStart_ goes
        // on to the first other byte; the bytes after that are of this
        // buffer, so that only its last run can reach the bound, in the next
        // piece.
        const auto* quote = static_cast<const char*>(std::memchr(p, '"', full_ - p));
        const char* end = quote != nullptr ? quote : full_;
        const char* first = p;
        while (first < end && kNumberByte[static_cast<unsigned char>(*first)]) {
            ++first;
        }
        const std::uint64_t bound = tokenStart_ + kMaxString; // its first byte past it
        if (bound >= OffsetOf(p) && bound < OffsetOf(first)) {
            Stop(begin_ + (bound - base_), true);
        }
        if (first < end) {
            const char* last = end;
            while (kNumberByte[static_cast<unsigned char>(last[-1])]) {
                --last;
            }
            tokenStart_ = OffsetOf(last);
        }
        p = end;
        if (p < full_) {
            inString_ = true;
            escape_ = over_ = false;
            tokenStart_ = OffsetOf(p) + 1;
            ++p;
        }
    }
}

// Scans a string's bytes from `p`: returns the byte after its closing quote,
// or full_. Its first byte past the bound may still close it.
const char* ByteSource::ScanString(const char* p) {
    const std::uint64_t left = over_ ? kNone : tokenStart_ + kMaxString - OffsetOf(p);
    const char* limit = left < static_cast<std::uint64_t>(full_ - p) ? p + left : full_;
    if (escape_ && p < limit) {
        escape_ = false;
        ++p;
    }
    while (p < limit) {
        if (*p != '"' && *p != '\\') {
            ++p;
        } else if (*p == '"') {
            return Close(p);
        } else if (++p == limit) {
            escape_ = true; // the byte escaped is the next buffer's, or past the bound
        } else {
            ++p;
        }
    }
    if (p == full_) {
        return p;
    }
    if (!escape_ && *p == '"') {
        return Close(p);
    }
    Stop(p, false);
    over_ = true;
    return p;
}

const char* ByteSource::Close(const char* quote) {
    inString_ = false;
    tokenStart_ = OffsetOf(quote) + 1;
    return quote + 1;
}

// The parser stops at `p`, unless it stops earlier in this buffer.
void ByteSource::Stop(const char* p, bool number) {
    if (end_ == full_) {
        end_ = p;
        stopNumber_ = number;
    }
}

// Counts the line feeds of the buffer up to `offset`.
void ByteSource::CountTo(std::uint64_t offset) {
    const char* from = begin_ + (counted_ - base_);
    const char* to = begin_ + (offset - base_);
    for (const char* p = from; p < to;) {
        const auto* feed = static_cast<const char*>(std::memchr(p, '\n', to - p));
        if (feed == nullptr) {
            break;
        }
        ++line_;
        lineStart_ = base_ + static_cast<std::uint64_t>(feed - begin_) + 1;
        if (firstFeed_ == kNone) {
            firstFeed_ = lineStart_ - 1;
        }
        p = feed + 1;
    }
    if (firstFeed_ != kNone && !contentAfter_) {
        const char* p = std::max(from, begin_ + (std::max(firstFeed_ + 1, base_) - base_));
        contentAfter_ = std::find_if_not(p, to, IsSpace) != to;
    }
    counted_ = offset;
}

} // namespace dideverazez::report
