#pragma once

// ProcessStart: the process-wide settings a program that holds TalnModel's audio makes once, in
// its main, before the first model: policy for the whole process, which no model changes by
// being made.
// - Every buffer of a chunk or more (512 KiB: a cleaned piece, the engine's work for it,
//   decoded audio) gets a mapping of its own (mallopt's M_MMAP_THRESHOLD), given back to the
//   system the moment it is freed. Left to itself, glibc raises this threshold to the size of
//   the largest buffer freed so far (up to 32 MiB), after which cleaned pieces come from the
//   threads' arenas and stay resident when a new cleaning replaces them: a 10-minute file then
//   holds 0.5 times its size more while the slider moves. The price is a page fault per 4 KiB
//   of each new buffer, small beside cleaning the same audio.
// - Measured FFT plans come from the wisdom file shared with taln-clean, or are measured (a core
//   for 0.3 to 0.6 s, once per machine), on a worker: that delays no cleaning (the first needs a
//   file, which takes longer than that to read).
//
// Main thread, once, with the QCoreApplication made (the planning is BackgroundWork).

namespace taln::ProcessStart {

void prepare();

} // namespace taln::ProcessStart
