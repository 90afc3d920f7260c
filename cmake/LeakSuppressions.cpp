// Built into every program of a sanitizer build. LeakSanitizer reports, at
// exit, memory that system libraries keep for the life of the process on
// purpose (the session bus connection, the font cache). Those reports are
// not ours to mend and would fail a program that did nothing wrong, so they
// are suppressed by library; a leak in the project's own code still fails.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n";
}
