# The table of scripts/bench from its raw lines: "POINT CLIENTS ROLE RUN key=value...".
# Every figure is the median over the runs; ratios are taken per run (server over the baseline
# of the same run) and their median shown, which rides out drift between runs.
# Variables: idle (connection count), upload_mib, failover_clients, window (seconds measured
# before and after the failover kill).

function median(list, n,    i, j, t, a) {
    if (n == 0)
        return "-"
    for (i = 1; i <= n; i++)
        a[i] = list[i] + 0
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && a[j - 1] > a[j]; j--) {
            t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
        }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}

# Median of KEY for POINT, CLIENTS and ROLE over the runs.
function med(point, clients, role, key,    r, n, list) {
    n = 0
    for (r = 1; r <= runs; r++)
        if ((point, clients, role, r, key) in v)
            list[++n] = v[point, clients, role, r, key]
    return median(list, n)
}

# Median over the runs of the server's KEY divided by the baseline's.
function ratio(point, clients, key, serverPoint,    r, n, list, b) {
    n = 0
    for (r = 1; r <= runs; r++) {
        if (!((point, clients, "baseline", r, key) in v) || !((serverPoint, clients, "server", r, key) in v))
            continue
        b = v[point, clients, "baseline", r, key] + 0
        if (b > 0)
            list[++n] = v[serverPoint, clients, "server", r, key] / b
    }
    return median(list, n)
}

function fmt(value, format) {
    return value == "-" ? "-" : sprintf(format, value)
}

BEGIN {
    describe["unauthenticated"] = "\"Not authenticated\" reply | no-op server"
    describe["memory"] = "logged in, \"get_remote_app_server_port\" from memory | no-op server"
    describe["record"] = "logged in, application name from the record cache | no-op server"
    describe["catalogue"] = "\"get_valid_applications\" (alice) | its statements sent to MariaDB"
    describe["churn"] = "connect, token login, command, quit | MariaDB connect + query + close"
    describe["login"] = "connect, token login, \"get_user_token\", quit | MariaDB connect + query + close"
    describe["churn-qt"] = "the same churn | MariaDB connect as Qt's driver does + query + close"
    describe["churn-noop"] = "the same churn | no-op server"
    describe["tls-requests"] = "TLS round trips, \"get_remote_app_server_port\" | the same in plain text"
    describe["tls-churn-full"] = "TLS churn, every handshake full | no-op server behind stunnel4"
    describe["tls-churn-resumed"] = "TLS churn, sessions resumed | no-op server behind stunnel4"
    describe["metrics-cached"] = "application name from the record cache, metrics on | the same, metrics off"
    describe["metrics-churn"] = "churn, metrics on | the same, metrics off"
    target["metrics-cached"] = 0.97
    target["metrics-churn"] = 0.97
    target["unauthenticated"] = 0.9
    target["memory"] = 0.8
    target["record"] = 0.8
    target["catalogue"] = 0.8
    target["churn"] = 1.0
    target["churn-noop"] = 0.7
    target["login"] = 1.0
    target["upload"] = 0.7
    target["tls-requests"] = 0.85
    target["tls-churn-full"] = 1.0
    target["tls-churn-resumed"] = 1.0
    runs = 0
}

{
    point = $1; clients = $2; role = $3; run = $4
    if (run > runs)
        runs = run
    if (!((point, clients) in seenClients)) {
        seenClients[point, clients] = 1
        clientList[point] = clientList[point] " " clients
    }
    for (i = 5; i <= NF; i++) {
        eq = index($i, "=")
        if (eq > 1)
            v[point, clients, role, run, substr($i, 1, eq - 1)] = substr($i, eq + 1)
    }
}

END {
    print "| Point | Baseline | Clients | Throughput ratio | p50 ratio | p99 ratio | Server ops/s | Baseline ops/s | Server p50 / p99 µs | Baseline p50 / p99 µs | Target |"
    print "|---|---|---|---|---|---|---|---|---|---|---|"
    # Rows in a fixed order: the points, then the two churn explanations.
    split("unauthenticated memory record catalogue churn churn-qt churn-noop login tls-requests tls-churn-full tls-churn-resumed metrics-cached metrics-churn", points, " ")
    for (p = 1; p in points; p++) {
        point = points[p]
        # The churn explanations compare their baselines with the server's own churn.
        serverPoint = (point == "churn-qt" || point == "churn-noop") ? "churn" : point
        n = split(clientList[point], counts, " ")
        for (c = 1; c <= n; c++) {
            clients = counts[c]
            if (med(serverPoint, clients, "server", "throughput") == "-")
                continue
            r = ratio(point, clients, "throughput", serverPoint)
            met = ""
            if (point in target && r != "-")
                met = sprintf("≥ %s %s", target[point], r >= target[point] ? "met" : "MISSED")
            printf "| %s | %s | %s | %s | %s | %s | %s | %s / %s | %s / %s | %s |\n", describe[point], clients,
                fmt(r, "%.2f"), fmt(ratio(point, clients, "p50_us", serverPoint), "%.2f"),
                fmt(ratio(point, clients, "p99_us", serverPoint), "%.2f"),
                fmt(med(serverPoint, clients, "server", "throughput"), "%.0f"),
                fmt(med(point, clients, "baseline", "throughput"), "%.0f"),
                fmt(med(serverPoint, clients, "server", "p50_us"), "%.0f"),
                fmt(med(serverPoint, clients, "server", "p99_us"), "%.0f"),
                fmt(med(point, clients, "baseline", "p50_us"), "%.0f"),
                fmt(med(point, clients, "baseline", "p99_us"), "%.0f"), met
        }
    }
    print ""

    # Resumption is only worth its row when the handshakes were in fact resumed.
    n = split(clientList["tls-churn-resumed"], counts, " ")
    for (c = 1; c <= n; c++)
        for (k = 1; k <= 2; k++) {
            role = k == 1 ? "server" : "baseline"
            if (med("tls-churn-resumed", counts[c], role, "tls_resumed") != "-")
                printf "TLS churn with resumption, %s clients, %s: %s full and %s resumed handshakes (median per run).\n",
                    counts[c], role == "server" ? "server" : "stunnel4", med("tls-churn-resumed", counts[c], role, "tls_full"),
                    med("tls-churn-resumed", counts[c], role, "tls_resumed")
        }

    # Churn: the slowest cycle of any run and client count, and cycles of a second or more.
    n = split(clientList["churn"], counts, " ")
    worst = 0; slow = 0; any = 0
    for (c = 1; c <= n; c++)
        for (r = 1; r <= runs; r++)
            if (("churn", counts[c], "server", r, "max_us") in v) {
                any = 1
                if (v["churn", counts[c], "server", r, "max_us"] + 0 > worst)
                    worst = v["churn", counts[c], "server", r, "max_us"] + 0
                slow += v["churn", counts[c], "server", r, "slow"]
            }
    if (any)
        printf "Churn: slowest server cycle %.0f ms; cycles of 1 s or more: %d (target: none).\n", worst / 1000, slow

    if (med("idle", idle, "server", "rss_per_connection_kib") != "-") {
        for (k = 1; k <= 2; k++) {
            role = k == 1 ? "server" : "baseline"
            printf "Idle, %s: %s of %s connections held; RSS %s → %s KiB, threads %s → %s; %s KiB per connection%s.\n",
                role == "server" ? "server" : "no-op server", med("idle", idle, role, "held"), idle,
                med("idle", idle, role, "rss_before_kib"), med("idle", idle, role, "rss_after_kib"),
                med("idle", idle, role, "threads_before"), med("idle", idle, role, "threads_after"),
                fmt(med("idle", idle, role, "rss_per_connection_kib"), "%.1f"),
                role == "server" ? " (target ≤ 60 KiB)" : ""
        }
        held = med("idle", idle, "server", "db_connections")
        if (held != "-" && held >= 0)
            printf "Idle, server: MariaDB connections held by the server meanwhile: %s (target ≤ 16, the default pool size: %s).\n",
                held, held <= 16 ? "met" : "MISSED"
    }

    c = failover_clients
    if (("failover", c, "server", 1, "before") in v) {
        b = v["failover", c, "server", 1, "before"]; a = v["failover", c, "server", 1, "after"]
        r = b > 0 ? a / b : 0
        printf "Failover, %d clients of \"get_valid_applications\" on a three-node cluster: %.0f requests/s in the %d s before the node in use was killed, %.0f in the %d s after: ratio %.2f (target ≥ 0.5 %s); %d database-failure answers after the kill, the last ending %d ms after it.\n",
            c, b, window, a, window, r, r >= 0.5 ? "met" : "MISSED", v["failover", c, "server", 1, "wrong_after"],
            v["failover", c, "server", 1, "last_wrong_ms"]
    }

    if (med("upload", 1, "server", "throughput") != "-") {
        r = ratio("upload", 1, "throughput", "upload")
        printf "Upload of %s MiB: server %.0f MiB/s, raw loopback copy %.0f MiB/s: ratio %s (target ≥ 0.7 %s).\n",
            upload_mib, med("upload", 1, "server", "throughput") / 1048576,
            med("upload", 1, "baseline", "throughput") / 1048576, fmt(r, "%.2f"),
            r != "-" && r >= 0.7 ? "met" : "MISSED"
    }
}
