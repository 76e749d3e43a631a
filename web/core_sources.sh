# Sourced by the scripts that compile the core with em++ (web/build,
# tests/wasm/check, tests/web/core_tests_wasm), with `top` set to the source
# tree and one argument: a folder of the build that may hold a link.
# Checks for em++ and sets core_sources (the core's sources, with the web's
# file for each concern that differs by platform) and json_include (a folder
# that holds only nlohmann/json, so that no other header of the build
# machine stands in for one of Emscripten's).
command -v em++ >/dev/null || { echo "em++ is missing: install Debian's emscripten package"; exit 1; }
# Debian's emcc needs Debian's own Node.js modules (acorn).
export NODE_PATH=/usr/share/nodejs
core_sources=$(sed -n '/^set(QUORVEL_CORE_SOURCES/,/^)/p' "$top/src/CMakeLists.txt" | grep -v '^set(\|^)' |
  sed -e "s|^ *|$top/src/|" -e 's|${QUORVEL_PLATFORM}|web|')
json_dir=$(for d in /usr/include /usr/local/include; do [ -f "$d/nlohmann/json.hpp" ] && echo "$d" && break; done)
[ -n "$json_dir" ] || { echo "nlohmann/json is missing: install nlohmann-json3-dev"; exit 1; }
json_include=$1/json-only
mkdir -p "$json_include"
ln -sfn "$json_dir/nlohmann" "$json_include/nlohmann"
