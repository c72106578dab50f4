# The decoder helper on Windows: one program, GDCM inside it. Linux splits
# it in two for its system-call filter: a process confined by seccomp can
# start no program, so GDCM's rewrite waits in a child made before the
# filter (dicom-decode-gdcm). A Windows helper runs in a job that allows one
# active process, under a restricted token at low integrity (the launcher's
# confined start): it could start no companion, and needs none, since the
# job's limits hold for GDCM as for the codecs. GDCM is still asked only
# for what the frames' way does not take, and for its verdict on what that
# way fails, exactly as on Linux (decode_request.h). Included by the
# top-level CMakeLists.txt.
set(DGC_HELPERS dicom-decode)
add_executable(dicom-decode
  helper/decode_request.cpp
  helper/dicom_decode_windows.cpp
  helper/gdcm_rewrite.cpp
  helper/helper_process.cpp
  helper/sandbox.cpp
  ${DGC_PLATFORM_PROGRAM_START})  # compiled in, as the Linux helper's program folder is
target_include_directories(dicom-decode PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(dicom-decode PRIVATE dgc_frames_helper gdcmMSFF dgc_platform_process_helper
                                           dgc_confinement_helper Threads::Threads shell32
                                           dgc_status dgc_warnings)
target_compile_definitions(dicom-decode PRIVATE DGC_VERSION="${PROJECT_VERSION}")
dgc_program_resources(dicom-decode)
