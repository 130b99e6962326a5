// Reading an SMTP server's replies as they pass, so a refusal can be shown in the server's own
// words; libcurl's own texts ("Login denied", "RCPT failed: 550") hide them. Bounded: any bytes
// from the server are safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrin {

inline constexpr std::size_t kMaxSmtpReplyLength = 1024;  // per line, and per collected reply
inline constexpr std::size_t kMaxResultLength = 512;      // a result line for a message box

class SmtpReplyTrace {
public:
    // A line the client sent; only its verb is looked at (the lines carry credentials).
    void Sent(const char* data, std::size_t size);
    // Bytes the server sent, in any pieces.
    void Feed(const char* data, std::size_t size);

    int lastcode() const { return lastcode_; }
    // The last complete reply: its code and the text of all its lines on one line.
    const std::string& last() const { return last_; }

private:
    void Line(const std::string& line);

    std::string partial_;  // a reply line still missing its line feed
    std::string current_;  // a multi-line reply collected so far
    std::string last_;
    int lastcode_ = 0;
    bool quitting_ = false;  // the reply to QUIT (sent after a failure too) must not hide the refusal
};

// Control characters folded to blanks, runs of blanks to one, at most kMaxResultLength
// characters: one line for a message box.
std::string OneLine(std::string_view text);

}  // namespace veltrin
