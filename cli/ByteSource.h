// The bytes the snapshot reader parses (SnapshotReader.h): a file or a text,
// read forward a buffer (a window of a text) at a time, with the lines they
// hold counted as the bytes go, a bound on the length of one string or number,
// and, for a pipe whose snapshots are read again, a copy of what was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace dideverazez::report {

// The longest string or number the reader accepts, in bytes of the file
// between the quotes (escapes as written) or of the number's text. Names and
// paths are short; nlohmann's lexer builds a token whole, and keeps a copy of
// it for its messages, so without this bound one long token would take twice
// its size in memory. A longer one is an error at its first byte past the bound.
inline constexpr std::uint64_t kMaxString = std::uint64_t{1} << 20;

// The most bytes kept of a FILE that is not a regular one (a pipe) when its
// snapshots must be read again (SnapshotReader::Passes::kAgain).
inline constexpr std::uint64_t kMaxCopy = std::uint64_t{4} << 30;

// Every byte is looked at once for line feeds, with memchr, when it leaves the
// buffer or a position is asked for. Each buffer is also scanned as it is
// loaded for a string or number longer than kMaxString: the parser is stopped
// at its first byte past the bound (the end of what it may read is put there),
// so that it never builds the token. Errors are thrown as ReadError
// (ReadError.h), each naming the file.
class ByteSource {
public:
    // Reads `stream` (owned) from where it stands. With `copy` (owned), what is
    // read is also written there, at most `maxCopy` bytes, to be read again.
    ByteSource(std::FILE* stream, std::FILE* copy, std::uint64_t maxCopy, const std::string& file);
    // Reads `text`, held by the caller.
    ByteSource(std::string_view text, const std::string& file);
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // Whether a byte is left; Current() is it.
    bool More() { return pos_ != end_ || Refill(); }
    const char& Current() const { return *pos_; }
    void Advance() { ++pos_; }
    std::uint64_t Offset() const { return base_ + static_cast<std::uint64_t>(pos_ - begin_); }

    // A document starts at the offset now: line counts from here show whether
    // anything follows on a later line. Returns the line it starts on.
    std::size_t Start();
    // Whether a byte other than white space follows the first line feed after
    // the last Start, in what has been counted.
    bool ContentAfterStartLine() const { return contentAfter_; }

    // "LINE:COLUMN" of the byte at `offset`, at or after what was counted
    // (or the last byte before it).
    std::string Position(std::uint64_t offset);

    // Reads on, past any long token, until ContentAfterStartLine() or the end:
    // no further, so that an endless input ends too.
    void Drain();

    // Reading goes on from `offset`, on line `line`, the start of a document.
    // The rest of a pipe not yet read is copied first.
    void Seek(std::uint64_t offset, std::size_t line);

    // At most `most` bytes from here, at least one; ReadError at the end.
    std::string_view Piece(std::uint64_t most);

private:
    static constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

    bool Refill();
    bool Load();
    void Keep(const char* bytes, std::size_t size);
    void ReadFromCopy();
    void Scan(const char* from);
    const char* ScanString(const char* p);
    const char* Close(const char* quote);
    void Stop(const char* p, bool number);
    std::uint64_t OffsetOf(const char* p) const {
        return base_ + static_cast<std::uint64_t>(p - begin_);
    }
    void CountTo(std::uint64_t offset);

    std::FILE* stream_ = nullptr; // owned; null for a text
    std::FILE* copy_ = nullptr;   // owned; what was read of stream_, while it is read
    std::uint64_t maxCopy_ = 0;
    std::uint64_t copied_ = 0;
    std::uint64_t start_ = 0; // the offset in stream_ of the first byte read
    std::string file_;
    std::vector<char> buffer_;
    const char* textEnd_ = nullptr;
    // The bytes loaded, [begin_, full_), from offset base_; the parser reads
    // from pos_ up to end_, which is full_ unless a token passed the bound
    // before.
    const char* pos_ = nullptr;
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
    const char* full_ = nullptr;
    std::uint64_t base_ = 0;
    std::uint64_t counted_ = 0;   // the offset up to which line feeds are counted
    std::size_t line_ = 1;        // the line of offset counted_
    std::uint64_t lineStart_ = 0; // the offset where that line starts
    std::uint64_t firstFeed_ = kNone;
    bool contentAfter_ = false;
    // The scan: the string being read, or the run of number bytes, from
    // tokenStart_.
    bool inString_ = false;
    bool escape_ = false;
    bool over_ = false;       // the string has passed the bound already
    bool stopNumber_ = false; // the token end_ stops at is a number
    bool checking_ = true;    // false while draining after an error
    std::uint64_t tokenStart_ = 0;
};

// The bytes of a ByteSource as nlohmann's parser reads them: an input
// iterator; the one made from null is the end.
struct ByteIterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    ByteSource* source = nullptr;

    reference operator*() const { return source->Current(); }
    ByteIterator& operator++() {
        source->Advance();
        return *this;
    }
    ByteIterator operator++(int) {
        ByteIterator before = *this;
        source->Advance();
        return before;
    }
    bool AtEnd() const { return source == nullptr || !source->More(); }
    bool operator==(const ByteIterator& other) const { return AtEnd() == other.AtEnd(); }
    bool operator!=(const ByteIterator& other) const { return !(*this == other); }
};

// Whether `c` is white space between JSON tokens.
inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace dideverazez::report
