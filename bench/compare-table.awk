# Joins two CSV outputs of the detector benchmark (before, after) by image and
# stage and prints wall-clock and CPU milliseconds with the speed-ups, in the
# order of the second file. Stages that only one file has show "-".
# Usage: awk -F, -f compare-table.awk before.csv after.csv

function unquote(text) {
  gsub(/"/, "", text)
  return text
}

# "800x640/pyramid/min_time:0.500/real_time" -> "800x640 pyramid"
function key(name,    parts) {
  split(unquote(name), parts, "/")
  return parts[1] " " parts[2]
}

function ratio(numerator, denominator) {
  return denominator > 0 ? sprintf("%.2fx", numerator / denominator) : "-"
}

# The files start with a description of the machine, then the header row.
FNR == 1 { file++ }

/^name,/ {
  for (i = 1; i <= NF; i++)
    column[file, unquote($i)] = i
  next
}

!((file, "name") in column) { next }

file == 1 {
  k = key($1)
  beforeReal[k] = $column[1, "real_time"]
  beforeCpu[k] = $column[1, "cpu_time"]
  beforeRegions[k] = $column[1, "regions"]
  next
}

file == 2 {
  order[++rows] = key($1)
  k = key($1)
  afterReal[k] = $column[2, "real_time"]
  afterCpu[k] = $column[2, "cpu_time"]
  afterRegions[k] = $column[2, "regions"]
}

END {
  printf "%-10s %-20s %11s %11s %8s %11s %11s %8s\n", "image", "stage", "before ms", "after ms", "speed-up",
         "before cpu", "after cpu", "cpu"
  for (r = 1; r <= rows; r++) {
    k = order[r]
    split(k, name, " ")
    if (k in beforeReal) {
      printf "%-10s %-20s %11.3f %11.3f %8s %11.3f %11.3f %8s", name[1], name[2], beforeReal[k], afterReal[k],
             ratio(beforeReal[k], afterReal[k]), beforeCpu[k], afterCpu[k], ratio(beforeCpu[k], afterCpu[k])
      if (beforeRegions[k] + 0 != afterRegions[k] + 0)
        printf "  regions differ: %d before, %d after", beforeRegions[k], afterRegions[k]
      printf "\n"
    } else {
      printf "%-10s %-20s %11s %11.3f %8s %11s %11.3f %8s\n", name[1], name[2], "-", afterReal[k], "-",
             "-", afterCpu[k], "-"
    }
  }
}
