// Loading of the software file (*.cla) into the download context.
#pragma once

namespace vbc {

// Reads the file named by _sg_DownloadContext.claFileName whole into fileBuffer (fileSize + 1
// bytes, the last one 0), shows its name and size on the main panel and derives defaultPath
// from it. The panel is locked for the length of the load.
//
// A file that cannot be loaded is shown as a PC-library result: 3 when it cannot be opened,
// 2 when its size cannot be read, it does not fit in memory, or fewer bytes than its size
// could be read. The previous image is then released (fileBuffer null, fileSize 0), so that no
// image is ever kept under a name it does not come from, while claFileName and the file-name
// box keep the new name: a later Save writes it, and Start refuses until a load succeeds.
// An empty claFileName loads nothing, releases the image and shows nothing.
void _mfl51_0InitLoadFile();

}  // namespace vbc
