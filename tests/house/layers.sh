# Each layer of src/ includes only itself and the layers below it, as the table says (a layer,
# then those below it), and only files of src/: never a test's header, whatever its folder.
# Prints every include that breaks either rule. A new layer joins the table.
cd "$(dirname "$0")/../../src" || exit 1
[ "$(ls | xargs)" = "core eventlog main options platform run" ] || { ls; exit 1; }
{ printf '%s\n' 'main run|options|eventlog|core|platform' 'run options|eventlog|core|platform' \
    'options core|platform' 'eventlog core|platform' 'core platform' 'platform platform' |
    while read -r layer below; do grep -rn '#include "' "$layer" | grep -vE "#include \"($layer|$below)/"; done
  grep -rn '#include "' . | while IFS='"' read -r at name _; do [ -f "$name" ] || echo "$at\"$name\""; done
} | grep . && exit 1 || exit 0
