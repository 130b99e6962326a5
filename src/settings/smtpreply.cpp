#include "settings/smtpreply.h"

#include <cstring>

namespace veltrin {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void SmtpReplyTrace::Sent(const char* data, std::size_t size) {
    if (size >= 4 && std::memcmp(data, "QUIT", 4) == 0) quitting_ = true;
}

void SmtpReplyTrace::Feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            Line(partial_);
            partial_.clear();
        } else if (data[i] != '\r' && partial_.size() < kMaxSmtpReplyLength) {
            partial_.push_back(data[i]);
        }
    }
}

void SmtpReplyTrace::Line(const std::string& line) {
    if (quitting_) return;
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return;
    const bool more = line.size() > 3 && line[3] == '-';
    if (current_.empty()) current_ = line.substr(0, 3);
    if (line.size() > 4 && current_.size() < kMaxSmtpReplyLength) {
        current_ += ' ';
        current_.append(line, 4, std::string::npos);
    }
    if (!more) {
        lastcode_ = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        last_ = current_;
        current_.clear();
    }
}

std::string OneLine(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        char put = (u < 0x20 || u == 0x7F) ? ' ' : c;
        if (put == ' ' && (out.empty() || out.back() == ' ')) continue;
        out.push_back(put);
        if (out.size() >= kMaxResultLength) break;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace veltrin
