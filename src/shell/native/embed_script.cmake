# Writes INPUT (a text file) as the C++ constant kNativeClientScript into OUTPUT.
file(READ ${INPUT} text)
set(delimiter "vantrel_js")
file(WRITE ${OUTPUT} "// Generated from vantrel.js by embed_script.cmake.\n"
                     "#include \"shell/model/native_router.hpp\"\n"
                     "const char* const vantrel::shell::kNativeClientScript = R\"${delimiter}(${text})${delimiter}\";\n")
