#include "tools/export/gzip_file.h"

namespace okulon::bids {
namespace {

// 15 window bits, plus 16: a gzip header and trailer instead of zlib's.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;

}  // namespace

GzipFile::~GzipFile() {
    if (m_deflating) deflateEnd(&m_stream);
    if (m_file) std::fclose(m_file);
}

bool GzipFile::Open(const std::string& path) {
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file) return false;
    if (deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        return false;
    m_deflating = true;
    return true;
}

bool GzipFile::Deflate(int flush) {
    unsigned char out[16384];
    int result = Z_OK;
    do {
        m_stream.next_out = out;
        m_stream.avail_out = sizeof(out);
        result = deflate(&m_stream, flush);
        if (result == Z_STREAM_ERROR) return m_failed = true, false;
        const size_t produced = sizeof(out) - m_stream.avail_out;
        if (produced > 0 && std::fwrite(out, 1, produced, m_file) != produced) return m_failed = true, false;
    } while (m_stream.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    return true;
}

bool GzipFile::Write(std::string_view text) {
    if (!m_deflating || m_failed) return false;
    // zlib counts in unsigned int: feed a huge text in pieces.
    while (!text.empty()) {
        const size_t piece = text.size() < (1u << 30) ? text.size() : (1u << 30);
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        m_stream.avail_in = static_cast<uInt>(piece);
        if (!Deflate(Z_NO_FLUSH)) return false;
        text.remove_prefix(piece);
    }
    return true;
}

bool GzipFile::Close() {
    bool ok = m_deflating && !m_failed && Deflate(Z_FINISH);
    if (m_deflating) deflateEnd(&m_stream);
    m_deflating = false;
    if (m_file && std::fclose(m_file) != 0) ok = false;
    m_file = nullptr;
    return ok;
}

}  // namespace okulon::bids
