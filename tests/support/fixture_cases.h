#pragma once
// The cases of a fixture program, one of which its first argument names.

#include <cstdio>
#include <span>
#include <string_view>

struct FixtureCase {
  std::string_view name;
  void (*run)();
};

// Runs the case the first argument names and returns true; otherwise says how
// the program is called and returns false.
inline bool run_named_case(int argc, char *argv[], std::span<const FixtureCase> cases, const char *usage)
{
  const std::string_view which = argc > 1 ? argv[1] : "";
  for (const FixtureCase &entry : cases) {
    if (entry.name == which) {
      entry.run();
      return true;
    }
  }
  std::fprintf(stderr, "usage: %s\n", usage);
  return false;
}
