// The format a disk image is opened as, for every reader of images: its
// first bytes read, the format rules applied (image_format.h), and, where
// the person allowed backing files, each layer below checked to carry the
// format the one above states. Whoever then opens the image gives that
// format, so that no emulator probes the guest's bytes. POSIX.
#pragma once
#include <cstddef>

// Reads the first kImageHeadSize bytes of the regular file `path` (a FIFO
// is never waited on, a device is no image). 1 on success.
int ReadImageHead(const char* path, unsigned char* head, size_t* length, char* why, size_t capacity);

// The layers below the qcow2 image `image` (canonical) whose first `length`
// bytes are `head`: each must be a regular file whose own header agrees
// with the format the layer above states (ImageFormatOf); a layer of a
// format other than qcow2 is the last (a raw one's bytes are the guest's).
// A relative name is taken as qemu takes it, beside the name of the layer
// naming it. 1 when every layer agrees; 0 with the reason in `why`.
int ImageLayersAgree(const char* image, const unsigned char* head, size_t length, char* why, size_t capacity);

// The format to open `image` as, given `format` (--format, or null) and
// whether backing files are allowed; its canonical name to `canonical`.
// Null with the reason in `why`.
const char* ChooseImageFormat(const char* image, const char* format, int allowBackingFile, char* canonical,
                              size_t canonicalCapacity, char* why, size_t capacity);
