/* Linked into every test executable: LeakSanitizer, when the build has it, skips this process's
 * leak check at exit. The programs and the runner that the tests start keep theirs. */
int __lsan_is_turned_off(void) { return 1; }
