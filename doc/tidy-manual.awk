# scdoc opens every block with a paragraph macro, also where a heading or the end of an
# indented block comes right before or after it; mandoc reports those as skipped. Keep the
# ones that start a paragraph, and move the one that closes an indented block past its end.
{ line[NR] = $0 }
END {
    last = ""
    for (i = 1; i <= NR; i++) {
        if (line[i] == ".P" && line[i + 1] == ".RE") {
            line[i] = ".RE"
            line[i + 1] = ".P"
        }
        if (line[i] == ".P") {
            if (last ~ /^\.(TH|SH|SS|P)( |$)/ || line[i + 1] ~ /^\.(SH|SS|P|RE)( |$)/ || i == NR)
                continue
        }
        print line[i]
        last = line[i]
    }
}
