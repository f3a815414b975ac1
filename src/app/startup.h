#pragma once

class QWidget;

// The program's whole start-up, event loop and teardown. `shown`, when given,
// is called with the administrator window right after it is shown (the
// benchmarks watch its first frame through it).
int run_kestrova(int argc, char** argv, void (*shown)(QWidget&) = nullptr);

// The member program's: the same application, codec, style sheet and
// translation, then the client window alone, without any start-up URL.
int run_kestrova_client(int argc, char** argv, void (*shown)(QWidget&) = nullptr);
