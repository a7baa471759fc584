#include "launcher_file.h"

#include "launcher_image.h"
#include "pe_writer.h"

namespace pack {

void write_launcher(std::iostream& file, const LauncherIdentity& identity, Subsystem subsystem,
                    const std::function<std::uint64_t(std::ostream&)>& write_block) {
  const std::vector<Resource> resources = launcher_resources(identity);
  const ExecutableWriter writer(embedded_launcher_image(), identity_section_contents(identity), subsystem);
  file.seekp(static_cast<std::streamoff>(writer.block_offset()));
  const std::uint64_t block_size = write_block(file);
  writer.finish(file, block_size, [&](std::uint32_t rva) { return resource_section(resources, rva); });
}

}  // namespace pack
