# The Debian package of-ulk: everything that the build installs, in one
# package. scripts/package configures the build for Debian's layout and runs
# CPack; run by hand, CPack refuses a build configured for another layout.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME of-ulk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
    "of_ulk maintainers <maintainers@users.noreply.c-seed-bc7c88b6.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "segmentation-based dense optical flow: viewer, exporter, library, Python")
# One line of the control file each.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Computes the horizontal and vertical velocity of every pixel between two"
  "frames by segmenting the newer frame into grey-level regions and tracking"
  "the corners of their outlines. The package holds the viewer of_ulk, the"
  "batch exporter of_ulk_export, the library libcvoptflowulk with its C and"
  "C++ headers and its CMake package, and the Python package ofulk with its"
  "Dask runner ofulk.batch.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries that the programs, the library and the module load give the
# dependencies (dpkg-shlibdeps), with the versions their symbols need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Other packages that link libcvoptflowulk.so.0 depend on this version or a
# later one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The module is built for one Python version; NumPy is loaded at run time.
if(TARGET _ofulk)
  set(python_version ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "python3 (>= ${python_version}~), python3 (<< ${Python3_VERSION_MAJOR}.${next_minor}), python3-numpy")
  # cv2 for reading frames as the examples do, Dask for ofulk.batch.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS
      "python3-opencv, python3-distributed, libopencv-dev")
else()
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS libopencv-dev)
endif()

# What the layout check in PackagingChecks.cmake looks at when CPack runs.
set(CPACK_OF_ULK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_OF_ULK_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_OF_ULK_PYTHON_DIR)
if(TARGET _ofulk)
  set(CPACK_OF_ULK_PYTHON_DIR ${OF_ULK_PYTHON_INSTALL_DIR})
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

include(CPack)
