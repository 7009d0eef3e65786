#!/usr/bin/env bash
# A dictation from start to finish on private servers (nothing touches your
# desktop): an X server with a tray, PulseAudio, a keyring, the local
# recognition service, and a text field in another window. Prints each step
# and leaves a screenshot and the logs in a folder it names.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target parlando fake-deepgram paste-target integration_e2e
PARLANDO_DEMO=1 build/default/tests/integration_e2e --gtest_filter='DictationEndToEnd.*' --gtest_brief=1
