# Each layer of src/ includes only the layers below it; prints every include that breaks the
# rule, and every folder of src/ that the table leaves out.
cd "$(dirname "$0")/../../src" || exit 1
table='main run options eventlog core platform
run options eventlog core platform
options core platform
eventlog core platform
core platform
platform'
[ "$(ls | sort)" = "$(echo "$table" | cut -d' ' -f1 | sort)" ] || { ls; exit 1; }
echo "$table" | while read -r layer below; do
  grep -rnE '#include "' "$layer" | grep -vE "#include \"($layer|$(echo "$below" | tr ' ' '|'))/"
done | grep . && exit 1 || exit 0
