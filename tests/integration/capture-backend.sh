#!/bin/sh
# CUPS backend of the integration tests: keeps each job's document, title and options in
# the directory named by the device URI (pagello-capture:/some/dir) as job-ID.pdf,
# job-ID.title and job-ID.options. The document appears last, under its final name only
# once it is complete.
#
# Called without arguments, it describes itself for device discovery.
set -eu

if [ $# -eq 0 ]; then
    echo 'direct pagello-capture "Unknown" "Pagello test capture"'
    exit 0
fi
if [ $# -lt 5 ] || [ $# -gt 6 ]; then
    echo "Usage: pagello-capture job-id user title copies options [file]" >&2
    exit 1
fi

dir="${DEVICE_URI#pagello-capture:}"
if [ ! -d "$dir" ]; then
    echo "ERROR: capture directory '$dir' does not exist" >&2
    exit 1
fi

job="$1"
printf '%s' "$3" > "$dir/job-$job.title"
printf '%s' "$5" > "$dir/job-$job.options"
if [ $# -eq 6 ]; then
    cat "$6" > "$dir/job-$job.part"
else
    cat > "$dir/job-$job.part"
fi
mv "$dir/job-$job.part" "$dir/job-$job.pdf"
exit 0
