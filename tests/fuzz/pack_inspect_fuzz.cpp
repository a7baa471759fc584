// The packer's readers of files it did not make: list, verify and extract open any file as a
// launcher, and the folder check opens any DLL as a main library. Over arbitrary bytes they must
// refuse with the packer's own input error, never crash or read out of bounds, and what they
// accept must hold together: decoded bytes come entry by entry and add up to the sizes.
//
// Input: byte 0 even: the rest is an executable; odd: the rest is a block.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "attached_data_reader.h"
#include "pack_error.h"
#include "pe_image.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> file(data + 1, size - 1);
  std::span<const std::uint8_t> block = file;
  // Throws nothing: every problem is a sentence.
  (void)pack::main_library_problem(file);
  try {
    if (data[0] % 2 == 0) {
      block = pack::find_attached_data(file);
      check(block.data() >= file.data() && block.data() + block.size() <= file.data() + file.size());
    }
    const pack::AttachedDataContents contents = pack::read_attached_data(block);
    check(!contents.entries.empty() || contents.table_size == 0);
    std::uint64_t sizes = 0;
    for (const pack::ListedEntry& entry : contents.entries) sizes += entry.size;
    check(sizes == contents.content_size);
    (void)pack::table_problems(contents);
    (void)pack::check_frame(contents.stream);

    // In table order, each entry's pieces together, its last piece closing it.
    std::size_t next = 0;
    std::uint64_t entry_bytes = 0, decoded = 0;
    pack::decode_entries(contents, [&](std::size_t entry, std::span<const std::uint8_t> bytes, bool last_piece) {
      check(entry == next && entry < contents.entries.size());
      entry_bytes += bytes.size();
      decoded += bytes.size();
      if (last_piece) {
        check(entry_bytes == contents.entries[entry].size);
        ++next;
        entry_bytes = 0;
      }
    });
    check(next == contents.entries.size());
    check(decoded == contents.content_size);
  } catch (const pack::InputError&) {
  }
  return 0;
}
