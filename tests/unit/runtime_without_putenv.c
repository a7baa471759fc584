/* Named like a C run-time of the launcher's list, but without _wputenv: propagation must pass it by.
   The marker lets the test tell this module from a run-time of the same name. */
__declspec(dllexport) int zamrik_runtime_without_putenv(void) { return 1; }
