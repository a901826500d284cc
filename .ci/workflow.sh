#!/usr/bin/env bash
# The hosted-CI workflow (.github/workflows/), checked as far as this machine can without running it:
# against the workflow schema (check-jsonschema's built-in vendor.github-workflows) and by zizmor's
# offline audits (pinned actions, credentials, permissions, injection), which must find nothing.
# Both come from .ci/release-tools.txt.
#
# Usage (from anywhere): bash .ci/workflow.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

tools=build/workflow-env
tool_venv "$tools" check-jsonschema zizmor

workflows=(.github/workflows/*.yml)
"$tools/bin/check-jsonschema" --builtin-schema vendor.github-workflows "${workflows[@]}"
"$tools/bin/zizmor" --offline --no-progress "${workflows[@]}"
