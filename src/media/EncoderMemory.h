#pragma once

namespace lento {

// Keeps this process's memory in ordinary pages, never in transparent huge pages, and says
// whether the kernel took it. x264 (and x265) ask for huge pages for their picture buffers;
// the kernel then clears two megabytes at each first touch, and on a virtual machine that
// reports its free memory to the host, those pages come from blocks the host took back and
// must back again first. Slowing a 10 s 1080p clip three times to 720p on such a machine, that
// cost the export 0.7 to 1 s of kernel time out of 5 (the ffmpeg command pays the same); in
// ordinary pages the encoder's own time stays level.
// Process-wide, so the programs call it once as they start; a kernel without the switch
// leaves things as they were, which costs only that time.
bool keepEncoderMemoryInSmallPages();

} // namespace lento
