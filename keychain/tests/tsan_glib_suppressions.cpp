// GLib locks with raw futexes that ThreadSanitizer cannot see; only what GLib, GIO and libsecret do inside
// themselves is ignored, every access made by our own code is still checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\ncalled_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\ncalled_from_lib:libsecret-1.so.0\n";
}
#endif
