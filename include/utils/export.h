// Marks the symbols that libvexo.so exports; everything else is hidden.
#pragma once

#define VEXO_API __attribute__((visibility("default")))
