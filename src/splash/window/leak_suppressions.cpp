// Builds with LeakSanitizer check every program for leaks at exit. GNUstep,
// its Objective-C runtime and the font and drawing libraries keep caches for
// the life of the process and never free them; those are not the program's
// leaks. Only the toolkit's libraries are named, so that leaks of our own
// code are still reported.

extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libobjc.so\n"
           "leak:libgnustep-base.so\n"
           "leak:libgnustep-gui.so\n"
           "leak:libgnustep-back\n"
           "leak:libgnustep-cairo\n"
           "leak:libfontconfig.so\n"
           "leak:libfreetype.so\n"
           "leak:libcairo.so\n"
           "leak:libX11.so\n"
           "leak:libXft.so\n";
}

// Without it, every run that used a suppression lists them on standard
// error, which is the program's channel for its one-line messages.
extern "C" const char* __lsan_default_options();

extern "C" const char* __lsan_default_options()
{
    return "print_suppressions=0";
}
