/* A shared object that stands in for a media library but lacks its
   functions: loading it must fail at the first function bound. */
int vidmill_fake_library_marker(void) { return 42; }
