#!/usr/bin/env bash
# Lints deploy/openapi.yaml with Redocly's CLI and its recommended rules (scripts/openapi-lint/
# redocly.yaml); fails on anything the linter finds. The CLI is installed from the npm registry at
# the version pinned in scripts/openapi-lint/package.json, exactly as its lock file names it
# (`npm ci`, into scripts/openapi-lint/node_modules), when it is missing or another version; nothing
# is installed globally. Node and npm come from Debian's packages when the machine has none.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=scripts/openapi-lint

# Asked by command, not by package: a node from elsewhere (with its own npm) will do.
missing=()
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then bash scripts/setup.sh "${missing[@]}"; fi

# The CLI asks the registry for a newer version and reports usage unless told not to.
export REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true

version_of() { node -p "try { require('./$1').${2} } catch (e) { '' }"; }
pinned=$(version_of "$tool/package.json" "devDependencies['@redocly/cli']")
installed=$(version_of "$tool/node_modules/@redocly/cli/package.json" version)
if [ "$installed" != "$pinned" ] || [ ! -x "$tool/node_modules/.bin/redocly" ]; then
  echo "installing @redocly/cli $pinned into $tool/node_modules"
  # No package of the tree needs its install script to run.
  (cd "$tool" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi

"$tool/node_modules/.bin/redocly" lint --config "$tool/redocly.yaml" deploy/openapi.yaml
