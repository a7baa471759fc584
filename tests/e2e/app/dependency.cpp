// A library that the dependency test's main library imports. Built twice under the same file
// name: the copy packed with the application, and a planted copy that must never be loaded.
extern "C" __declspec(dllexport) const char* DEPENDENCY_FUNCTION() { return DEPENDENCY_COPY; }
