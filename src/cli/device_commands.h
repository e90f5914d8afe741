#pragma once

namespace merrowfax::cli {

// `devices`: the sound server's inputs and outputs and this machine's
// cameras, as one JSON line of the names --audio-input, --audio-output and
// --camera take. Needs a QCoreApplication (the cameras come from Qt).
int runDevicesCommand();

}  // namespace merrowfax::cli
