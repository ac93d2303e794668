// Text and files for the host, in three parts: charset.h (encodings), os.h (what is asked of
// the operating system, the one place where systems differ) and files.h (reads, atomic
// writes and temporary files, one policy on the calls of os.h).
#pragma once

#include "charset.h"
#include "files.h"
#include "os.h"
