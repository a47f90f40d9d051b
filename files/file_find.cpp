#include "files/file_find.h"

const char* const kFolderMissingReason = "The folder does not exist";
const char* const kFolderDeniedReason = "Access to the folder is denied";
// A card reader without a card, a disconnected network or removable drive.
const char* const kDriveNotReadyReason = "The drive is not ready or not connected";
