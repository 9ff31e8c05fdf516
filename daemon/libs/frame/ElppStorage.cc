// The one definition of the logging library's process-wide storage. Every
// program links it exactly once; the plug-in does not link it and resolves it
// from the process that loads it, so host and plug-in share one storage.
#include <easylogging++.h>

INITIALIZE_EASYLOGGINGPP
