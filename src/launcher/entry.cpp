// The graphical-subsystem wide entry of the launcher executable.
#include "launcher/launcher.h"
#include "payload/linked_attached_data.h"

// The C run-time's start-up expands wildcards in the arguments, as on a command line.
extern "C" {
int _dowildcard = -1;
// The linker's name for the start of the image as mapped.
extern const std::uint8_t __ImageBase[];
}

extern "C" int wWinMain(void* /*instance*/, void* /*previous_instance*/, wchar_t* /*command_tail*/, int /*show*/) {
  return launcher::launcher_main(payload::find_image_section(__ImageBase, attached_data_section_name));
}
