#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"

// Replaced by the loader over the windowing system's image reader.
void TBitmap::LoadFromStream(TStream&) { throw EInvalidGraphic("Bitmap files cannot be read yet."); }
