// gzip copies of finished log files.
#pragma once

class CompressUtil {
  public:
    // Writes a gzip copy of `infilename` to `outfilename` (replacing it). Returns 1 when
    // the archive is complete under its final name, -1 otherwise; on -1 no file of the
    // final name was made and the input is untouched, and one line on standard error says
    // which file failed and why.
    static int compress_one_file(char* infilename, char* outfilename);
};
