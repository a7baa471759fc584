#include "pe_writer.h"

#include <algorithm>
#include <istream>
#include <vector>

#include "pack_error.h"
#include "pe_image.h"
#include "payload/linked_attached_data.h"
#include "identity/app_identity.h"

namespace pack {
namespace {

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

struct NewSection {
  const char* name;
  std::uint32_t rva;
  std::uint32_t virtual_size;
  std::uint64_t offset;
  std::uint64_t raw_size;
};

void put_section_header(std::string& head, std::uint64_t at, const NewSection& section) {
  std::fill(head.begin() + static_cast<std::ptrdiff_t>(at), head.begin() + static_cast<std::ptrdiff_t>(at + section_header_size), '\0');
  for (std::size_t i = 0; section.name[i] != '\0'; ++i) head[at + i] = section.name[i];
  little_endian::store_u32(&head[at + section_virtual_size_at], section.virtual_size);
  little_endian::store_u32(&head[at + section_address_at], section.rva);
  little_endian::store_u32(&head[at + section_raw_size_at], static_cast<std::uint32_t>(section.raw_size));
  little_endian::store_u32(&head[at + section_raw_offset_at], static_cast<std::uint32_t>(section.offset));
  little_endian::store_u32(&head[at + section_characteristics_at], section_initialized_data | section_readable);
}

void write_zeros(std::ostream& out, std::uint64_t count) {
  static const char zeros[4096] = {};
  for (; count > 0; count -= std::min<std::uint64_t>(count, sizeof zeros)) {
    out.write(zeros, static_cast<std::streamsize>(std::min<std::uint64_t>(count, sizeof zeros)));
  }
}

}  // namespace

ExecutableWriter::ExecutableWriter(std::span<const std::uint8_t> launcher_image, std::string identity_strings,
                                   Subsystem subsystem)
    : image_(launcher_image), identity_(std::move(identity_strings)), subsystem_(subsystem) {
  // The image is the build's own, so anything amiss in it is a failure of the tool.
  PeImage image;
  try {
    image = parse_pe_image(image_);
  } catch (const PeFormatError& error) {
    throw ToolError(std::string("the launcher image: ") + error.what());
  }
  if (image.machine != machine_x86_64 || !image.pe32_plus) throw ToolError("the launcher image is no PE32+ x86-64 image");
  const std::uint64_t pe = u32_at(image_, pe_header_offset_at);
  optional_ = pe + optional_header_at;
  const std::uint32_t optional_size = u16_at(image_, pe + optional_header_size_at);
  table_ = optional_ + optional_size;
  section_count_ = static_cast<std::uint32_t>(image.sections.size());
  if (optional_size < directories_at + 8 * (certificate_directory + 1) ||
      u32_at(image_, optional_ + directory_count_at) <= certificate_directory) {
    throw ToolError("the launcher image has too few data directories");
  }
  section_alignment_ = u32_at(image_, optional_ + section_alignment_at);
  file_alignment_ = u32_at(image_, optional_ + file_alignment_at);
  if (file_alignment_ == 0 || section_alignment_ < file_alignment_) throw ToolError("the launcher image has odd alignments");
  for (std::uint32_t directory : {resource_directory, certificate_directory}) {
    if (u32_at(image_, optional_ + directories_at + 8 * directory) != 0) {
      throw ToolError("the launcher image already has resources or a certificate");
    }
  }
  if (image.sections.empty() || image.sections.back().name != identity::identity_section_name) {
    throw ToolError(std::string("the launcher image does not end with its identity section ") + identity::identity_section_name);
  }
  for (const PeSection& section : image.sections) {
    if (section.name == attached_data_section_name || section.name == ".rsrc") {
      throw ToolError("the launcher image already has a section " + section.name);
    }
  }
  const PeSection& last = image.sections.back();
  if (std::uint64_t{last.raw_offset} + last.raw_size != image_.size()) {
    throw ToolError("the launcher image has data after its last section");
  }
  // Two more section headers take the place of zeros between the table and the first section.
  const std::uint64_t table_end = table_ + section_header_size * section_count_;
  const std::uint64_t room = u32_at(image_, optional_ + headers_size_at);
  if (table_end + 2 * section_header_size > room ||
      !std::all_of(image_.begin() + static_cast<std::ptrdiff_t>(table_end),
                   image_.begin() + static_cast<std::ptrdiff_t>(table_end + 2 * section_header_size),
                   [](std::uint8_t byte) { return byte == 0; })) {
    throw ToolError("the launcher image's headers leave no room for two more sections");
  }
  identity_rva_ = last.virtual_address;
  identity_offset_ = last.raw_offset;
  block_offset_ = identity_offset_ + align_up(identity_.size(), file_alignment_);
}

void ExecutableWriter::finish(std::iostream& file, std::uint64_t block_size,
                              const std::function<std::string(std::uint32_t)>& resources) const {
  const NewSection strings{identity::identity_section_name, identity_rva_, static_cast<std::uint32_t>(identity_.size()), identity_offset_,
                            block_offset_ - identity_offset_};
  const std::uint64_t block_rva = align_up(strings.rva + strings.virtual_size, section_alignment_);
  const std::uint64_t resources_offset = block_offset_ + align_up(block_size, file_alignment_);
  const std::uint64_t resources_rva = align_up(block_rva + block_size, section_alignment_);
  if (resources_rva >= 0xFFFF0000 || resources_offset >= 0xFFFF0000) {
    throw InputError("the executable would pass the 4 GiB that the format allows; pack less or compress more");
  }
  const std::string resource_bytes = resources(static_cast<std::uint32_t>(resources_rva));
  const NewSection block{attached_data_section_name, static_cast<std::uint32_t>(block_rva), static_cast<std::uint32_t>(block_size),
                         block_offset_, resources_offset - block_offset_};
  const NewSection resource{".rsrc", static_cast<std::uint32_t>(resources_rva), static_cast<std::uint32_t>(resource_bytes.size()),
                            resources_offset, align_up(resource_bytes.size(), file_alignment_)};
  const std::uint64_t image_size = align_up(resources_rva + resource_bytes.size(), section_alignment_);
  if (image_size > 0xFFFFFFFF || resources_offset + resource.raw_size > 0xFFFFFFFF) {
    throw InputError("the executable would pass the 4 GiB that the format allows; pack less or compress more");
  }

  std::string head(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(identity_offset_));
  const std::uint64_t last = table_ + section_header_size * (section_count_ - 1);
  put_section_header(head, last, strings);
  put_section_header(head, last + section_header_size, block);
  put_section_header(head, last + 2 * section_header_size, resource);
  const std::uint64_t pe = optional_ - optional_header_at;
  little_endian::store_u16(&head[pe + section_count_at], static_cast<std::uint16_t>(section_count_ + 2));
  // The sum of the raw sizes of the sections that hold initialized data, as the linker counts it.
  const std::span<const std::uint8_t> head_bytes(reinterpret_cast<const std::uint8_t*>(head.data()), head.size());
  std::uint64_t initialized = 0;
  for (std::uint32_t i = 0; i < section_count_ + 2; ++i) {
    const std::uint64_t at = table_ + section_header_size * i;
    if (u32_at(head_bytes, at + section_characteristics_at) & section_initialized_data) initialized += u32_at(head_bytes, at + section_raw_size_at);
  }
  const auto set_u32 = [&](std::uint64_t at, std::uint32_t value) { little_endian::store_u32(&head[at], value); };
  set_u32(optional_ + initialized_data_size_at, static_cast<std::uint32_t>(std::min<std::uint64_t>(initialized, 0xFFFFFFFF)));
  set_u32(optional_ + image_size_at, static_cast<std::uint32_t>(image_size));
  set_u32(optional_ + directories_at + 8 * resource_directory, resource.rva);
  set_u32(optional_ + directories_at + 8 * resource_directory + 4, resource.virtual_size);
  little_endian::store_u16(&head[optional_ + subsystem_at], static_cast<std::uint16_t>(subsystem_));
  set_u32(optional_ + checksum_at, 0);

  file.seekp(0);
  file.write(head.data(), static_cast<std::streamsize>(head.size()));
  file.write(identity_.data(), static_cast<std::streamsize>(identity_.size()));
  write_zeros(file, strings.raw_size - identity_.size());
  file.seekp(static_cast<std::streamoff>(block_offset_ + block_size));
  write_zeros(file, block.raw_size - block_size);
  file.write(resource_bytes.data(), static_cast<std::streamsize>(resource_bytes.size()));
  write_zeros(file, resource.raw_size - resource_bytes.size());
  file.flush();
  // The owner of the file reports a failed write: it knows the file's name and the reason.
  if (!file) return;

  file.seekg(0);
  const std::uint32_t checksum = pe_checksum(file, optional_ + checksum_at);
  std::string field(4, '\0');
  little_endian::store_u32(field.data(), checksum);
  file.clear();
  file.seekp(static_cast<std::streamoff>(optional_ + checksum_at));
  file.write(field.data(), 4);
  file.flush();
}

std::uint32_t pe_checksum(std::istream& file, std::uint64_t checksum_offset) {
  std::vector<char> buffer(1 << 20);
  std::uint64_t sum = 0;
  std::uint64_t position = 0;
  int pending = -1;  // a byte left over from an odd-sized read
  const auto add = [&](std::uint32_t word, std::uint64_t at) {
    if (at == checksum_offset || at == checksum_offset + 2) return;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  };
  while (file) {
    file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::size_t got = static_cast<std::size_t>(file.gcount());
    for (std::size_t i = 0; i < got; ++i, ++position) {
      const std::uint32_t byte = static_cast<std::uint8_t>(buffer[i]);
      if (pending < 0) {
        pending = static_cast<int>(byte);
      } else {
        add(static_cast<std::uint32_t>(pending) | byte << 8, position - 1);
        pending = -1;
      }
    }
  }
  if (pending >= 0) add(static_cast<std::uint32_t>(pending), position - 1);
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + position);
}

}  // namespace pack
