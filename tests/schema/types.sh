#!/usr/bin/env bash
# What the generators that companion clients use make of schema/*.schema.json.
#
#   types.sh install    installs the pinned generators (package-lock.json) into the tools folder;
#                       needs the npm registry, so no test does it
#   types.sh generate   writes tests/schema/types/ from the schemas
#   types.sh check      regenerates and compares with tests/schema/types/, compiles every schema
#                       with ajv in strict mode (a warning fails too), and compiles
#                       tests/schema/client.ts, which uses the generated types, with tsc --strict.
#                       Exits 77 (skipped) when node or the installed generators are missing.
#
# The tools folder is $BRINDLECAST_SCHEMA_TOOLS, by default build/schema-tools.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
tools=${BRINDLECAST_SCHEMA_TOOLS:-$root/build/schema-tools}
bin=$tools/node_modules/.bin
schemas=(request response state event)

generate() {
  local out=$1 name top
  local -a jobs=()
  mkdir -p "$out/quicktype"
  # From the schema folder, so that no machine path ends up in the output; all
  # at once, since each generator spends most of its time starting.
  cd "$root/schema"
  for name in "${schemas[@]}"; do
    "$bin/json2ts" --input "$name.schema.json" --output "$out/$name.d.ts" &
    jobs+=($!)
    top=$(tr '[:lower:]' '[:upper:]' <<<"${name:0:1}")${name:1}
    "$bin/quicktype" --src-lang schema --lang typescript --just-types \
      --top-level "$top" --out "$out/quicktype/$name.ts" "$name.schema.json" &
    jobs+=($!)
  done
  local failed=0
  for job in "${jobs[@]}"; do wait "$job" || failed=1; done
  cd - >/dev/null
  return $failed
}

case "${1:-}" in
  install)
    mkdir -p "$tools"
    cp "$here/package.json" "$here/package-lock.json" "$tools/"
    (cd "$tools" && npm ci --no-audit --no-fund --ignore-scripts)
    ;;
  generate)
    generate "$here/types"
    ;;
  check)
    if ! command -v node >/dev/null || [ ! -x "$bin/json2ts" ] || [ ! -x "$bin/quicktype" ] || [ ! -x "$bin/tsc" ]; then
      echo "skipped: no node or no generators in $tools (tests/schema/types.sh install)"
      exit 77
    fi
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    generate "$scratch"
    if ! diff -ru "$here/types" "$scratch"; then
      echo "FAIL the generated types differ from tests/schema/types/ (tests/schema/types.sh generate)"
      exit 1
    fi
    NODE_PATH=$tools/node_modules node "$here/ajv_strict.js" "$root/schema" "${schemas[@]}"
    "$bin/tsc" --strict --noEmit --target es2022 --module esnext --moduleResolution bundler "$here/client.ts"
    echo "types: ${#schemas[@]} schemas generate the committed types, compile under ajv strict, client.ts compiles"
    ;;
  *)
    sed -n '2,13p' "$0"
    exit 2
    ;;
esac
