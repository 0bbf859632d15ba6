// Writes one gzip file (RFC 1952, through zlib's deflate) as text arrives, so
// a long recording's samples never sit in memory whole. Close() says whether
// every byte reached the disk; a file never closed is left incomplete.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include <zlib.h>

namespace okulon::bids {

class GzipFile {
public:
    GzipFile() = default;
    ~GzipFile();
    GzipFile(const GzipFile&) = delete;
    GzipFile& operator=(const GzipFile&) = delete;

    bool Open(const std::string& path);
    bool Write(std::string_view text);
    bool Close();

private:
    bool Deflate(int flush);

    std::FILE* m_file = nullptr;
    z_stream m_stream{};
    bool m_deflating = false;
    bool m_failed = false;
};

}  // namespace okulon::bids
