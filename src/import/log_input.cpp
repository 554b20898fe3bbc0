#include "import/log_input.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/core/exceptions.h"

namespace zeb::import {

namespace {

constexpr unsigned char kGzipMagic[2] = {0x1f, 0x8b};
// zlib reads the gzip header and trailer itself, and checks the trailer's CRC and length.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;

}  // namespace

struct LogInput::Inflater {
  z_stream stream{};
  bool initialised = false;
  // A member has begun and its trailer has not yet been checked: an end of the file here is a
  // truncated file, never a log that happens to end.
  bool inMember = false;

  ~Inflater() {
    if (initialised) inflateEnd(&stream);
  }
};

LogInput::LogInput(std::string path) : file_(std::move(path), platform::os::File::Mode::kRead) {
  if (file_.isRegular()) size_ = file_.size();
}

LogInput::~LogInput() = default;

void LogInput::damaged(const std::string& reason) const {
  throw platform::EInOutError(EIO, file_.path(), "Decompressing", reason);
}

bool LogInput::fillRaw() {
  if (fileEnded_) return false;
  std::size_t n = file_.read(raw_.get(), kBlockSize);
  if (n == 0) {
    checkWhole();
    fileEnded_ = true;
    return false;
  }
  rawBegin_ = 0;
  rawEnd_ = n;
  bytesRead_ += static_cast<std::int64_t>(n);
  ++readsDone_;
  return true;
}

void LogInput::checkWhole() const {
  // A log cut while it is read (logrotate's copytruncate, an operator's "> mail.log") ends
  // before the size it had when opened. What was read is then a part of the log only, and
  // importing it would replace whole days with a part of their traffic.
  if (size_ >= 0 && bytesRead_ < size_) {
    throw platform::EInOutError(EIO, file_.path(), "Reading",
                                "the log was cut while it was read: it ended after " +
                                    std::to_string(bytesRead_) + " of its " +
                                    std::to_string(size_) + " bytes");
  }
}

void LogInput::sniff() {
  sniffed_ = true;
  raw_ = std::make_unique_for_overwrite<char[]>(kBlockSize);
  if (!fillRaw()) return;
  gzip_ = rawEnd_ >= 2 && std::memcmp(raw_.get(), kGzipMagic, 2) == 0;
  if (!gzip_) return;
  inflater_ = std::make_unique<Inflater>();
  if (inflateInit2(&inflater_->stream, kGzipWindowBits) != Z_OK) throw std::bad_alloc();
  inflater_->initialised = true;
}

std::size_t LogInput::read(char* data, std::size_t size) {
  if (peekedAt_ < peeked_.size()) {
    std::size_t n = std::min(size, peeked_.size() - peekedAt_);
    std::memcpy(data, peeked_.data() + peekedAt_, n);
    peekedAt_ += n;
    if (peekedAt_ == peeked_.size()) {
      peeked_ = std::string();
      peekedAt_ = 0;
    }
    return n;
  }
  return readText(data, size);
}

std::string_view LogInput::peek(std::size_t size) {
  size = std::min(size, kBlockSize);
  if (peeked_.size() - peekedAt_ < size) {
    // Peeking starts before the first read, so nothing has been taken yet.
    std::string text(kBlockSize, '\0');
    std::size_t have = peeked_.size() - peekedAt_;
    std::memcpy(text.data(), peeked_.data() + peekedAt_, have);
    while (have < kBlockSize) {
      std::size_t n = readText(text.data() + have, kBlockSize - have);
      if (n == 0) break;
      have += n;
    }
    text.resize(have);
    peeked_ = std::move(text);
    peekedAt_ = 0;
  }
  return std::string_view(peeked_).substr(peekedAt_, size);
}

std::size_t LogInput::readText(char* data, std::size_t size) {
  if (!sniffed_) sniff();
  if (gzip_) return inflateInto(data, size);
  if (rawBegin_ < rawEnd_) {
    std::size_t n = std::min(size, rawEnd_ - rawBegin_);
    std::memcpy(data, raw_.get() + rawBegin_, n);
    rawBegin_ += n;
    return n;
  }
  if (fileEnded_) return 0;
  std::size_t n = file_.read(data, size);
  if (n == 0) {
    checkWhole();
    fileEnded_ = true;
    return 0;
  }
  bytesRead_ += static_cast<std::int64_t>(n);
  ++readsDone_;
  return n;
}

std::size_t LogInput::inflateInto(char* data, std::size_t size) {
  z_stream& z = inflater_->stream;
  std::size_t out = 0;
  while (out < size) {
    if (rawBegin_ == rawEnd_) {
      if (!fillRaw()) {
        if (inflater_->inMember) damaged("the file ends inside its compressed data");
        break;
      }
    }
    if (!inflater_->inMember) {
      // After a member: zero bytes are padding, as gzip itself takes them; anything else must
      // be the next member, and inflate() says so if it is not.
      while (rawBegin_ < rawEnd_ && raw_[rawBegin_] == 0) ++rawBegin_;
      if (rawBegin_ == rawEnd_) continue;
      inflateReset(&z);
      inflater_->inMember = true;
    }
    z.next_in = reinterpret_cast<Bytef*>(raw_.get() + rawBegin_);
    z.avail_in = static_cast<uInt>(rawEnd_ - rawBegin_);
    z.next_out = reinterpret_cast<Bytef*>(data + out);
    z.avail_out = static_cast<uInt>(size - out);
    int rc = inflate(&z, Z_NO_FLUSH);
    rawBegin_ = rawEnd_ - z.avail_in;
    out = size - z.avail_out;
    if (rc == Z_STREAM_END) {
      inflater_->inMember = false;
    } else if (rc == Z_MEM_ERROR) {
      throw std::bad_alloc();
    } else if (rc == Z_BUF_ERROR && z.avail_in == 0) {
      continue;  // wants more input
    } else if (rc != Z_OK) {
      damaged(std::string("the compressed data are damaged (") +
              (z.msg != nullptr ? z.msg : "error " + std::to_string(rc)) + ")");
    }
  }
  return out;
}

}  // namespace zeb::import
