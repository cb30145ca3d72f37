// `orvane-app --download`: fetches the missing model files without a window, progress on
// standard error. Returns the exit status: 0 when every file is in place, 1 with the reason.
#ifndef ORVANE_APP_DOWNLOAD_COMMAND_H
#define ORVANE_APP_DOWNLOAD_COMMAND_H

int runDownloadCommand();

#endif
