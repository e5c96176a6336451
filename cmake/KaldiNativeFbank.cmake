# kaldi-native-fbank's filter bank, built from its PyPI source distribution.
#
# The PyPI wheel carries the headers but not the C++ core library (only the
# Python module), so the core is compiled here from the sdist of the same
# release, with Debian's kissfft (libkissfft-dev) standing in for the copy its
# own build would download. Only the units the filter bank needs are built.
#
# KNF_SDIST names the .tar.gz; when empty it is looked for in
# ZOR_DOWNLOAD_CACHE and otherwise fetched with `pip download`. Inside pip's
# isolated build environment that pip, and the setuptools it needs to read
# the sdist's metadata, are the ones pyproject.toml lists as build
# requirements; pip's own settings (index, find-links, cache) apply.

set(KNF_VERSION 1.23.0)
set(KNF_SDIST "" CACHE FILEPATH "kaldi-native-fbank ${KNF_VERSION} source distribution")
set(ZOR_DOWNLOAD_CACHE "$ENV{ZOR_DOWNLOAD_CACHE}" CACHE PATH "Folder holding downloaded sources")

set(_knf_name kaldi_native_fbank-${KNF_VERSION})
if(NOT KNF_SDIST AND ZOR_DOWNLOAD_CACHE AND EXISTS "${ZOR_DOWNLOAD_CACHE}/${_knf_name}.tar.gz")
  set(KNF_SDIST "${ZOR_DOWNLOAD_CACHE}/${_knf_name}.tar.gz")
endif()
if(NOT KNF_SDIST)
  set(_knf_dl ${CMAKE_BINARY_DIR}/_deps/download)
  if(NOT EXISTS "${_knf_dl}/${_knf_name}.tar.gz")
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    message(STATUS "Fetching ${_knf_name} source distribution from PyPI")
    execute_process(
      COMMAND ${Python3_EXECUTABLE} -m pip download --quiet --no-deps --no-binary=:all:
              --no-build-isolation kaldi-native-fbank==${KNF_VERSION} -d ${_knf_dl}
      RESULT_VARIABLE _knf_rc)
    if(NOT _knf_rc EQUAL 0)
      message(FATAL_ERROR "pip download of kaldi-native-fbank==${KNF_VERSION} failed "
              "(${Python3_EXECUTABLE} needs pip and setuptools, and PyPI or a pip index "
              "holding the sdist; or pass -DKNF_SDIST=<${_knf_name}.tar.gz>)")
    endif()
  endif()
  set(KNF_SDIST "${_knf_dl}/${_knf_name}.tar.gz")
endif()

set(_knf_src ${CMAKE_BINARY_DIR}/_deps/${_knf_name})
if(NOT EXISTS ${_knf_src}/kaldi-native-fbank/csrc/feature-fbank.cc)
  file(ARCHIVE_EXTRACT INPUT ${KNF_SDIST} DESTINATION ${CMAKE_BINARY_DIR}/_deps)
endif()

find_path(KISSFFT_INCLUDE_DIR kiss_fftr.h PATH_SUFFIXES kissfft)
find_library(KISSFFT_LIBRARY NAMES kissfft-float)
if(NOT KISSFFT_INCLUDE_DIR OR NOT KISSFFT_LIBRARY)
  message(FATAL_ERROR "kissfft (float) not found: install the system package libkissfft-dev "
          "(apt-get install libkissfft-dev)")
endif()

set(_knf_csrc ${_knf_src}/kaldi-native-fbank/csrc)
add_library(knf_core STATIC
  ${_knf_csrc}/feature-fbank.cc
  ${_knf_csrc}/feature-functions.cc
  ${_knf_csrc}/feature-window.cc
  ${_knf_csrc}/kaldi-math.cc
  ${_knf_csrc}/mel-computations.cc
  ${_knf_csrc}/online-feature.cc
  ${_knf_csrc}/rfft.cc
  # online-feature.cc instantiates every online computer, so they come too.
  ${_knf_csrc}/feature-mfcc.cc
  ${_knf_csrc}/feature-raw-audio-samples.cc
  ${_knf_csrc}/whisper-feature.cc)
target_include_directories(knf_core SYSTEM PUBLIC ${_knf_src})
target_include_directories(knf_core SYSTEM PRIVATE ${KISSFFT_INCLUDE_DIR})
target_compile_definitions(knf_core PRIVATE kiss_fft_scalar=float KISS_FFT_SHARED)
target_compile_options(knf_core PRIVATE -w)
target_link_libraries(knf_core PUBLIC ${KISSFFT_LIBRARY})
