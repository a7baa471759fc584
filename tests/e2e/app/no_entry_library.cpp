// A library whose only export has a name and the ordinal 2: no ordinal-1 entry for the launcher.
extern "C" int not_the_entry(int, wchar_t**, const wchar_t*) { return 0; }
