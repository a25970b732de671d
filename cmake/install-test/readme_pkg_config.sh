#!/usr/bin/env bash
# Builds the greeting connector with the pkg-config command line README.md
# gives connector authors (the one line starting "g++" that names
# pkg-config) and runs it under the installed hbagent. Then builds it once
# more with the libraries named before the sources, which --as-needed drops:
# hbagent must refuse to load that one and say why. Last, the README's C++
# snippet must compile.
#
# Usage: readme_pkg_config.sh README PREFIX WORKDIR
set -euo pipefail
readme=$1
prefix=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)

mapfile -t lines < <(grep -E '^g\+\+ .*pkg-config .*hbconnector' "$readme")
if ((${#lines[@]} != 1)); then
  echo "README.md should give one g++ line with pkg-config, found ${#lines[@]}" >&2
  exit 1
fi
command=${lines[0]}
case $command in
  *my_connector.cpp*) ;;
  *) echo "the README's line builds no my_connector.cpp: $command" >&2; exit 1 ;;
esac
# my_connector.cpp stands for the author's sources, the stamp among them.
sources="$here/greeting_connector.cpp $here/pkgconfig_stamp.cpp"
command=${command//my_connector.cpp/$sources}

rm -rf "$work"
mkdir -p "$work"
cd "$work"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
echo "+ $command"
eval "$command"
[ -f libmy_connector.so ] || { echo "the README's line built no libmy_connector.so" >&2; exit 1; }
"$prefix/bin/hbagent" --connector "$work/libmy_connector.so" "$here/greeting.scenario"

# The same with the libraries first: links, but does not load.
g++ -std=c++20 -shared -fPIC $(pkg-config --cflags --libs hbconnector) $sources -o libfirst.so
code=0
"$prefix/bin/hbagent" --connector "$work/libfirst.so" "$here/greeting.scenario" >out.txt 2>err.txt || code=$?
cat err.txt
if ((code != 2)) || ! grep -q "needs the symbol .*after the sources" err.txt; then
  echo "a connector linked with the libraries first: expected exit 2 and the link-order hint, got exit $code" >&2
  exit 1
fi

# The connector snippet of "Write your own connector" compiles against the
# installed headers as it stands, with the umbrella header alone.
awk '/^```cpp/{on=1; next} /^```/{if (on) exit} on' "$readme" >snippet.body
[ -s snippet.body ] || { echo "README.md has no C++ snippet" >&2; exit 1; }
{ echo '#include <hbconnector/hbconnector.hpp>'; cat snippet.body; } >snippet.cpp
g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only $(pkg-config --cflags hbconnector) snippet.cpp
echo "README's pkg-config line builds a connector that runs; libraries first give the link-order hint; the snippet compiles"
