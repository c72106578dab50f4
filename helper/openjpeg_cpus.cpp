// GDCM sizes OpenJPEG's thread pool from this OpenJPEG call, which reads
// /sys/devices/system/cpu/online, and OpenJPEG asks it when OPJ_NUM_THREADS
// says ALL_CPUS. Defined here, it answers for the shared library's: no file
// is read once the system-call filter is on. The frames' threads are the
// helper's own. Linux's helpers only: a Windows helper links OpenJPEG
// statically (one definition only), and there the call reads no file.
extern "C" int opj_get_num_cpus(void) {
  return 1;
}
