#pragma once
// The fixed share directory, doubled slash included. On Linux it resolves
// relative to the working directory.
inline constexpr char SHARE_ROOT[] = "D://ROZivuvori";
