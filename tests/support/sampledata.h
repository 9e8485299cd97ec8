#pragma once

// Users of db/sample.sql that tests log in with.
namespace SampleData {

inline constexpr char AliceToken[] = "mmNVNUXtOeyZ34rKLWoUnlxfSlY2cCrRNHq402S7WBwhIRvOk6dvfkedmEgG1ALk";
inline constexpr char BobToken[] = "CrzqnOgHOfV8M1tFFbHDX9vy5qjp9rYkDFPOPN23hSHhaObydpxZGIqkJ2QDWuVF";

} // namespace SampleData
