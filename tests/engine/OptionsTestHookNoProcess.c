/* A frame hook module for the tests that lacks its "Process" entry point. */
int Configure(void** AContext, int argc, char* argv[]) {
  (void)argc;
  (void)argv;
  *AContext = 0;
  return 0;
}

void Release(void* AContext) { (void)AContext; }
