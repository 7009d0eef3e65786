#!/usr/bin/env bash
# A meeting from start to finish on private servers (nothing touches your
# desktop): an X server with a window manager, PulseAudio, a keyring, the
# local recognition service and a text field in another window. The meeting
# is started and stopped through the tray menu over D-Bus while one voice
# speaks into the microphone and another plays through the speakers. Prints
# each step and the transcript, and leaves a screenshot of the panel and the
# logs in a folder it names.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target parlando fake-deepgram paste-target integration_e2e
PARLANDO_DEMO=1 build/default/tests/integration_e2e --gtest_filter='MeetingEndToEnd.*' --gtest_brief=1
