// Every header of the modules' own sources (packaging/, detector/, shared/)
// includes this.  The build defines TARVEK_MODULE_SOURCES for the extension
// modules only (CMakeLists.txt): the binding layer and the file-system core
// cannot include what the modules know of skills.
#pragma once

#ifndef TARVEK_MODULE_SOURCES
#error \
    "the modules' sources know of skills: the binding layer and the file-system core never include them"
#endif
