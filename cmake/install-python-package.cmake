# SPDX-License-Identifier: MIT
# Installs the Python package (run by `cmake --install` and cpack, with the
# folders the build was configured with in vkm470PythonDir, vkm470PythonSource,
# vkm470PythonStage, vkm470LibDir and vkm470IncludeDir). Under the prefix /usr
# the package goes where Debian's Python looks for every version, as the
# Debian package has it, whatever prefix the build was configured for.
set(pythonDir ${vkm470PythonDir})
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND EXISTS /etc/debian_version)
  set(pythonDir lib/python3/dist-packages)
endif()
set(packageDir "${CMAKE_INSTALL_PREFIX}/${pythonDir}/vkm470")
file(RELATIVE_PATH libFromPackage "${packageDir}" "${CMAKE_INSTALL_PREFIX}/${vkm470LibDir}")
file(RELATIVE_PATH includeFromPackage "${packageDir}" "${CMAKE_INSTALL_PREFIX}/${vkm470IncludeDir}")
file(WRITE "${vkm470PythonStage}/_installed.py"
"\"\"\"Where the installed tree holds the library and the header, from this folder.\"\"\"

LIBRARY_DIR = \"${libFromPackage}\"
INCLUDE_DIR = \"${includeFromPackage}\"
")
file(INSTALL "${vkm470PythonSource}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${pythonDir}"
     FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
file(INSTALL "${vkm470PythonStage}/_installed.py" DESTINATION "${packageDir}")
