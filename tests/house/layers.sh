# Each layer of src/ includes only itself and the layers below it, as the table says (a layer,
# then those below it); prints every include that breaks the rule. A new layer joins the table.
cd "$(dirname "$0")/../../src" || exit 1
[ "$(ls | xargs)" = "core eventlog main options platform run" ] || { ls; exit 1; }
printf '%s\n' 'main run|options|eventlog|core|platform' 'run options|eventlog|core|platform' \
  'options core|platform' 'eventlog core|platform' 'core platform' 'platform platform' |
  while read -r layer below; do grep -rn '#include "' "$layer" | grep -vE "#include \"($layer|$below)/"; done |
  grep . && exit 1 || exit 0
