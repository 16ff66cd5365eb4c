#pragma once
// The log of the fuzz targets: every message is formatted as in the daemon (the
// level in force is Debug) and then dropped, so that nothing piles up in the
// start-up buffer and the fuzzer's output stays readable. The protobuf
// runtime's own log is silenced too.

namespace nv::fuzz {

// Installs the quiet log once per process; later calls do nothing.
void install_quiet_log();

} // namespace nv::fuzz
