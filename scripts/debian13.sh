#!/usr/bin/env bash
# scripts/debian.sh for Debian 13 (trixie): test.sh in a pristine Debian 13 root. Needs root.
exec bash "$(dirname "${BASH_SOURCE[0]}")/debian.sh" trixie "$@"
