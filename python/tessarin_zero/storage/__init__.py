"""What the host keeps on disk: record chunks and their journal, checksums, run folders and
kept games."""
