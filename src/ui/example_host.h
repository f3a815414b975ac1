#pragma once

// The example hub host that the panels name and that start-up hands the
// desktop. It is a documentation address (TEST-NET-1): it reaches no real host.
inline constexpr const char* example_host_address = "192.0.2.10";
