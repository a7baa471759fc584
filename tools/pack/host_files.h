// What the packer does differently on Linux and on Windows: paths to and from its UTF-8 text,
// file names in UTF-16, and the plain file writes of extract. Everything above stays the same.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace pack {

// A path typed by the user, or made of UTF-8 text; on Windows "C:\dir", "dir\sub" and "\\server"
// keep their meaning.
std::filesystem::path path_from_utf8(const std::string& text);
// A path as UTF-8 text, for messages.
std::string utf8_of(const std::filesystem::path& path);
// The system's words for the last failed call (errno on Linux, GetLastError() on Windows), for
// the end of a message.
std::string last_error_text();
// Forgets the reason of any earlier failure, so that a call's own reason can be told apart.
void forget_last_error();
// The reason of a failed write or seek just seen, as last_error_text() gives it; "" when the
// system gave none.
std::string reason_just_seen();
// The absolute path with every link resolved, as std::filesystem::canonical, also for paths past
// Windows' 260 characters.
std::filesystem::path canonical_path(const std::filesystem::path& path, std::error_code& error);
// The paths of a folder's entries, in no particular order.
std::vector<std::filesystem::path> list_folder(const std::filesystem::path& folder, std::error_code& error);
// A file name in UTF-16, as Windows stores it; none when it has no such form.
std::optional<std::u16string> name_units(const std::filesystem::path& name);

// A new or emptied file for writing; -1 with errno set when it cannot be created. Links are not
// followed where the system has them.
int create_for_writing(const std::filesystem::path& path);
// False with errno set when the bytes could not all be written.
bool write_all(int fd, std::span<const std::uint8_t> bytes);
bool close_file(int fd);

}  // namespace pack
