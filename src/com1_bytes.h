#pragma once
// What reaches COM1 in a run of the diagnostic, defined once for the program,
// the guest image's init and outsb-check; the tests read it from here too.

// C arrays: the diagnostic is built without a C++ standard library.
// NOLINTBEGIN(modernize-avoid-c-arrays)
namespace com1_bytes {

// Sent eleven times by rep outsb, after "hello" by single-byte outs.
inline constexpr char line[] = "hello theresssssssssssssssssssssssssssssssssss\n";

// The guest's init writes each on a line of its own before and after the root run.
inline constexpr char begin_marker[] = "<<<outsb-guest begin>>>";
inline constexpr char end_marker[] = "<<<outsb-guest end>>>";

}  // namespace com1_bytes
// NOLINTEND(modernize-avoid-c-arrays)
