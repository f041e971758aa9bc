# Sourced by scripts/run and scripts/package: configures build/ the way
# scripts/build plain does and builds the program target alone, so that a
# first start does not wait for the tests to compile.

wavecrate_build_program() {
  local dir=build generator=()
  if command -v ninja >/dev/null; then generator=(-G Ninja); fi
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "${generator[@]}" >&2
  fi
  cmake --build "$dir" -j "$(nproc)" --target wavecrate >&2
  echo "$dir"
}
