// Work split over the machine's cores: a job is cut into parts that run side by side, each on
// a thread of its own, and the caller waits for all of them.
#pragma once

#include <cstddef>
#include <functional>

namespace gridloom {

// Below this many bytes a second thread costs more than it saves.
inline constexpr std::size_t kBytesPerThread = std::size_t{1} << 20;

// How many parts a job of this many bytes is worth: 1, or 2 on a machine with two cores or
// more (more parts gain little where the memory bus is the limit).
std::size_t PartsFor(std::size_t bytes);

// Runs task(0) to task(count - 1): task(0) on the calling thread, the others on threads of
// their own, or on the calling thread after it where no thread can be had. Returns once all
// have returned, and then rethrows the exception of the first task that threw, if any.
void RunParts(std::size_t count, const std::function<void(std::size_t)>& task);

// Maps the pages of fresh memory that is about to be written, in one step rather than a
// fault per page, where the system can (Linux). A hint: nothing happens elsewhere.
void Prefault(void* memory, std::size_t bytes) noexcept;

}  // namespace gridloom
