// The parent's unpack of a stream cut into independent frames: worker threads decode frames and
// write what each holds at its offsets, while the calling thread creates the directories and
// files in table order and closes them once written.
#pragma once

#include <cstdint>

#include "payload/attached_data.h"

namespace payload {

class DirectoryMemo;
struct UnpackResult;

// Unpacks every entry, as the one-stream loop does, with the same failures: when several are met,
// the one that the loop would meet first ends the process. False, having done nothing at all,
// when the stream holds no frame table, the table or the frames' headers do not match the
// entries, the entry table would fail the loop's own tests, no worker can be started, or one frame
// is too large for the memory bound: the one-stream loop then does it all. worker_limit 0 takes
// as many workers as there are processors.
bool unpack_frames(const AttachedDataHeader& header, const char16_t* unpack_directory, std::uint32_t worker_limit,
                   DirectoryMemo& directories, UnpackResult& result);

// The most that the frame path holds at once, its threads and its index of the entries included:
// what the one-stream loop holds for the largest window. Workers = min(processors, frames,
// this / (largest frame + a decoder + a thread's allowance)), each with one frame's buffer.
inline constexpr std::uint64_t frame_memory_budget = std::uint64_t{1} << max_window_log;

}  // namespace payload
