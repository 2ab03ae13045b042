// Fuzz target: the message reader and writer on arbitrary text, as a mailbox file or
// an SMTP client may hand it over. Whatever the bytes, nothing may crash, read out
// of bounds or hang, and:
//   - read with its size left open, the message's lines join to exactly the bytes
//     from its start to its size, which is within the input; a second message read
//     from there follows on;
//   - written through a writer without options, the text comes out unchanged, and
//     its header table agrees with the reader's.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/memory_file.h"
#include "message/message.h"

namespace {

[[noreturn]] void Fail() { __builtin_trap(); }

void ReadBack(CTernMemoryFile& file, const std::string& text, int32_t offset) {
  CTernMessage message(file, offset, 0, 0, TernMessageMode::Read);
  if (!message.Open()) Fail();
  std::string joined, line;
  int32_t n;
  while ((n = message.ReadLine(line)) > 0) {
    if (line.size() > static_cast<size_t>(kTernMessageBlock)) Fail();
    joined += line;
  }
  if (n < 0) Fail();
  int32_t size = message.Size();
  if (size < 0 || offset + size > static_cast<int32_t>(text.size())) Fail();
  if (joined != text.substr(static_cast<size_t>(offset), static_cast<size_t>(size))) Fail();
  if (message.BodyOffset() < offset || message.BodyOffset() > offset + size) Fail();
  if (message.HopCount() < 0 || message.Headers().size() > kTernMaxHeaders) Fail();
  message.Header("Subject");
  message.SeparatorSender();
  message.Close();  // the file is opened once at a time
  if (offset == 0 && size > 0 && size < static_cast<int32_t>(text.size()))
    ReadBack(file, text, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  CTernMemoryFile file;
  file.Open();
  file.Write(text);
  file.Close();
  ReadBack(file, text, 0);

  CTernMemoryFile out;
  CTernMessage writer(out, 0, 0, 0, TernMessageMode::Write);
  if (!writer.Open()) Fail();
  size_t step = size % 13 + 1;
  for (size_t i = 0; i < text.size(); i += step)
    if (!writer.Write(text.substr(i, step))) Fail();
  if (!writer.Close() || out.Contents() != text) Fail();

  // The reader takes a first line "From ..." for a separator and reads long lines in
  // pieces, where the writer sees a header line; elsewhere both read the same headers.
  bool comparable = size > 0 && !(text[0] == 'F' || text[0] == 'f' || text[0] == '>');
  for (size_t start = 0, lf; comparable && start < size; start = lf + 1) {
    lf = text.find('\n', start);
    if (lf == std::string::npos) lf = size;
    comparable = lf - start < 4000;
  }
  CTernMessage reader(file, 0, static_cast<int32_t>(size), 0, TernMessageMode::Read);
  if (comparable) {
    if (!reader.Open()) Fail();
    if (reader.HopCount() != writer.HopCount() || reader.HeaderClasses() != writer.HeaderClasses())
      Fail();
  }

  CTernMemoryFile completed;
  CTernMessage complete(completed, 0, 0, TernMessageOption::Complete | TernMessageOption::Separator,
                        TernMessageMode::Write);
  if (!complete.Open("a@b", "M1")) Fail();
  complete.Write(text);
  complete.Close();
  return 0;
}
