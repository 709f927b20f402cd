// The HTML page of a capture, its gray preview image, and g.bmp.
#ifndef HTML_PAGE_H
#define HTML_PAGE_H

#include <stdint.h>
#include <stdio.h>

#include "frame_sampler.h"
#include "kimage.h"

// The widest page the program accepts, in characters.
enum { kMaxHtmlWidth = 10000 };

// Writes the ASCII-art page of the sampled means into `page` (opened in text
// mode with nothing buffered; null when it could not be created) and fills
// `preview` with their gray levels (one pixel wide, two tall per character),
// sizing it for the page; an image already of that size is reused without
// clearing. False when the page could not be written whole (the preview is
// still filled), when the preview would exceed kMaxPreviewBytes (then nothing
// is written and the preview is emptied, 0 x 0) or when memory runs out (then
// the preview is emptied). The page is left open for its owner.
bool write_html_page(const FrameSampling& sampling, FILE* page, KImageT<K_RGB>& preview);

// Saves the gray preview as `name` (g.bmp): written under a fresh name in the
// same folder and renamed over it, so a reader never sees half a picture, a
// link or FIFO of that name is replaced, never followed, and two runs never
// leave a mixed one. False when it could not be written; the temporary file
// is then removed.
bool save_gray_preview(const KImageT<K_RGB>& preview, const char* name);

#endif  // HTML_PAGE_H
