#pragma once
// `parlando --set-api-key`: the Deepgram key dialog on its own, without the
// tray. Returns the process exit code: 0 when the dialog ended without an
// error (saved, cancelled or left empty), 1 when saving failed.
#include "core/Log.h"

namespace parlando {

int runSetApiKeyCommand(Log& log);

}  // namespace parlando
