// Every header of the file-system core includes this.  The build shows the
// core only to itself and to the modules, the targets that link `tarvek_fs`
// (CMakeLists.txt): the binding layer below it (`tarvek_native`) cannot
// include it.
#pragma once

#ifndef TARVEK_FS_LAYER
#error "src/fs is the file-system core: only tarvek_fs and the modules that link it include it"
#endif
