// Fuzz target: the MIME scanner and the decoders on arbitrary messages. Whatever the
// bytes, nothing may crash, read out of bounds, recurse without end or hang; the
// parts found lie inside the body, in order and without overlapping; every part
// extracts, and a base64 part decodes to no more than three quarters of its length.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/memory_file.h"
#include "message/message.h"
#include "message/mime.h"
#include "message/mime_codec.h"

namespace {

[[noreturn]] void Fail() { __builtin_trap(); }

std::string Extract(CTernMessage& message, int32_t n) {
  CTernMemoryFile file;
  CTernMessage target(file, 0, 0, TernMessageOption::BodyOnly, TernMessageMode::Write);
  if (!target.Open()) Fail();
  if (message.Extract(n, target) != 0) Fail();
  target.Close();
  return file.Contents();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  CTernMemoryFile file;
  file.Open();
  file.Write(text);
  file.Close();
  CTernMessage message(file, 0, 0, TernMessageOption::ParseMime | TernMessageOption::NoSeparatorDetection,
                       TernMessageMode::Read);
  if (!message.Open()) Fail();
  message.HasAttachments();
  int32_t count = message.PartCount();
  if (count < 0 || static_cast<size_t>(count) > kTernMimeMaxParts) Fail();
  if (count > 0 && !message.Description().IsMultipart()) Fail();
  Extract(message, 0);
  for (int32_t n = 1; n <= count; ++n) {
    TernContentDescription d;
    if (!message.Part(n, d)) Fail();
    std::string body = Extract(message, n);
    if (d.encoding == "base64" && body.size() * 4 > size * 3 + 3) Fail();
  }

  // The decoders alone, fed in uneven pieces.
  for (const char* encoding : {"base64", "quoted-printable"}) {
    CTernDecoder decoder(encoding);
    std::string out;
    size_t step = size % 7 + 1;
    for (size_t i = 0; i < size; i += step) decoder.Feed(std::string_view(text).substr(i, step), out);
    decoder.Finish(out);
    if (out.size() > size + 1) Fail();
  }
  TernDescribeContent(text);
  return 0;
}
