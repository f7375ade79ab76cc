# Chart of a benchmark run: gnuplot -e "outfile='x.png'; dir='<out>'" chart.gp
set terminal pngcairo size 1500,1150 font "DejaVu Sans,10"
set output outfile
set multiplot layout 2,2 title "Zentrava KSP benchmark"

set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set xtics rotate by -30 left noenhanced

set title "Local operations: provider / direct (median ratio; goal ≤ 1.10)"
set ylabel "ratio"
set yrange [0:*]
plot dir.'/local.dat' using 2:xtic(1) title "provider / direct" lc rgb "#4472c4", \
     1.10 with lines dt 2 lc rgb "#c00000" title "1.10"

set title "Remote operations: end to end vs private-key floor (median)"
set ylabel "µs"
plot dir.'/remote.dat' using 2:xtic(1) title "end to end" lc rgb "#4472c4", \
     '' using 3 title "floor (BCrypt on the private key)" lc rgb "#a5a5a5"

set title "One SignHash RSA-2048 exchange, step by step (median)"
set ylabel "µs"
unset key
plot dir.'/steps.dat' using 2:xtic(1) lc rgb "#ed7d31"

set title "Concurrent clients signing, RSA-2048 SignHash (median rate; details in benchmarks-concurrency.png)"
set key bottom right
set style data linespoints
set xtics norotate
set logscale x 2
set xrange [0.8:320]
set xtics (1, 2, 4, 8, 16, 32, 64, 128, 256)
set xlabel "concurrent clients"
set ylabel "verified signatures per second"
plot dir.'/concurrency.dat' using 1:3 with linespoints lw 2 pt 7 lc rgb "#4472c4" title "serve with its defaults"
unset multiplot
