#pragma once
// The pictures compiled into the program (its own and Qt's, paths starting with ":/"), all PNG, read by Qt's
// built-in PNG reader and nothing else.
//
// Asked for a PNG, Qt first loads every image format plugin installed on the machine (GIF, JPEG and ICO
// here; TIFF, WebP and more on a desk with the extra formats) with the libraries each needs, to ask each
// whether it reads PNG, and keeps them loaded: about a quarter of a megabyte resident, for pictures that
// only the built-in reader ever reads. useBuiltInReaderForResourcePictures() registers, in the program
// itself, a reader of PNG for exactly those pictures, which hands them to the built-in reader directly.
// Any other picture (a file, the desktop's icons) is read as Qt always reads it.
//
// Call it once the application exists and before the first picture is read; later calls do nothing.

void useBuiltInReaderForResourcePictures();
