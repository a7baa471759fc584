/* The start-up floor: a Windows program of the launcher's subsystem that returns at once. */
int wWinMain(void* instance, void* previous, void* command_line, int show) {
  (void)instance, (void)previous, (void)command_line, (void)show;
  return 0;
}
