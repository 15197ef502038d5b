"""psycopg2 against a running kelvod: argv is the socket directory and port.

Each case raises on a wrong answer; the process exits non-zero on the first one.
"""
import decimal
import sys
import threading
import time

import psycopg2
import psycopg2.errors


def connect():
    return psycopg2.connect(host=sys.argv[1], port=sys.argv[2], dbname=":main", user="kelvo")


def expect_error(cur, sql, code, params=None):
    try:
        cur.execute(sql, params)
    except psycopg2.Error as e:
        assert e.pgcode == code, (sql, e.pgcode, str(e))
        return
    raise AssertionError("no error for " + sql)


def values_round_trip(conn):
    conn.autocommit = True
    cur = conn.cursor()
    cur.execute("CREATE TABLE v (id INT PRIMARY KEY, b BYTEA, n NUMERIC)")
    data = bytes(range(256)) + b"\xde\xad\xbe\xef\x00"
    cur.execute("INSERT INTO v VALUES (%s, %s, %s) RETURNING id", (1, psycopg2.Binary(data), decimal.Decimal("1.23456")))
    assert cur.fetchone() == (1,) and cur.rowcount == 1, cur.rowcount
    cur.execute("SELECT b, n, 7 / 2 FROM v")
    b, n, q = cur.fetchone()
    assert bytes(b) == data, bytes(b)[:16]
    assert n == decimal.Decimal("1.23456"), n
    assert q == 3, q
    cur.execute("UPDATE v SET n = n + 1 RETURNING n")
    assert cur.rowcount == 1 and cur.fetchone()[0] == decimal.Decimal("2.23456")
    expect_error(cur, "INSERT INTO v VALUES (2, NULL, %s)", "22003", (decimal.Decimal("1e40"),))


def failed_statement_aborts_the_transaction(conn):
    conn.autocommit = False
    cur = conn.cursor()
    cur.execute("CREATE TABLE a (v INT)")
    conn.commit()
    cur.execute("INSERT INTO a VALUES (1)")
    expect_error(cur, "SELECT nosuchcolumn FROM a", "42703")
    expect_error(cur, "INSERT INTO a VALUES (2)", "25P02")
    conn.commit()  # rolls back
    cur.execute("SELECT count(*) FROM a")
    assert cur.fetchone() == (0,)
    conn.rollback()


def errors_clients_act_on(conn):
    conn.autocommit = True
    cur = conn.cursor()
    for sql, code in [("SET no_such_parameter = 1", "42704"), ("DEALLOCATE nope", "26000"),
                      ("SELECT * FROM read_text('/etc/hostname')", "42501"), ("SELECT E'a'E'b'", "42601"),
                      ("COPY (SELECT 1) TO STDOUT WITH (FORMAT binary)", "0A000")]:
        expect_error(cur, sql, code)
    other = connect()
    other.autocommit = True
    cur.execute("CREATE TABLE c (id INT, v INT); INSERT INTO c VALUES (1, 0)")
    conn.autocommit = False
    cur.execute("UPDATE c SET v = 1 WHERE id = 1")
    expect_error(other.cursor(), "UPDATE c SET v = 2 WHERE id = 1", "40001")
    conn.commit()
    other.close()


def nothing_committed_by_halves(conn):
    """PostgreSQL 15 answers each of these the same."""
    conn.autocommit = True
    cur = conn.cursor()
    cur.execute("CREATE TABLE m (k INT PRIMARY KEY, x FLOAT)")
    # The statements of one query message form one implicit transaction.
    expect_error(cur, "INSERT INTO m VALUES (1, 0.1); INSERT INTO m VALUES (2, 0.2); SELECT nosuch FROM m", "42703")
    cur.execute("INSERT INTO m VALUES (3, 1234567.891); INSERT INTO m VALUES (4, 0.1); SELECT k, x FROM m ORDER BY k")
    assert cur.fetchall() == [(3, 1234567.891), (4, 0.1)], "float is double precision"
    # COMMIT ends the block it began; what follows it is a new implicit transaction.
    expect_error(cur, "BEGIN; INSERT INTO m VALUES (5, 0); COMMIT; INSERT INTO m VALUES (6, 0); SELECT nosuch", "42703")
    cur.execute("SELECT k FROM m ORDER BY k")
    assert cur.fetchall() == [(3,), (4,), (5,)]
    # A key another transaction committed first: 23505 (PostgreSQL gives it at the insert that comes second).
    other = connect()
    other.autocommit = True
    conn.autocommit = False
    cur.execute("INSERT INTO m VALUES (7, 0)")
    other.cursor().execute("INSERT INTO m VALUES (7, 0)")
    try:
        conn.commit()
        raise AssertionError("the second key 7 was committed")
    except psycopg2.Error as e:
        assert e.pgcode == "23505", (e.pgcode, str(e))
    conn.rollback()
    other.close()


def mixed_load(seconds=3.0, clients=8):
    setup = connect()
    setup.autocommit = True
    setup.cursor().execute("CREATE TABLE load (client INT, n INT); CREATE TABLE counter (id INT, v BIGINT); "
                           "INSERT INTO counter VALUES (1, 0)")
    inserted = [0] * clients
    increments = [0] * clients
    failures = []

    def work(k):
        try:
            conn = connect()
            cur = conn.cursor()
            end = time.time() + seconds
            while time.time() < end:
                cur.execute("INSERT INTO load VALUES (%s, %s)", (k, inserted[k]))
                cur.execute("SELECT count(*) FROM load WHERE client = %s", (k,))
                conn.commit()
                inserted[k] += 1
                try:
                    cur.execute("UPDATE counter SET v = v + 1 WHERE id = 1")
                    conn.commit()
                    increments[k] += 1
                except psycopg2.errors.SerializationFailure:
                    conn.rollback()
            conn.close()
        except Exception as e:  # reported by the main thread
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures
    cur = setup.cursor()
    cur.execute("SELECT client, count(*) FROM load GROUP BY client ORDER BY client")
    assert cur.fetchall() == [(k, inserted[k]) for k in range(clients) if inserted[k]], inserted
    cur.execute("SELECT v FROM counter")
    assert cur.fetchone()[0] == sum(increments), (sum(increments),)
    assert sum(inserted) > clients, inserted


def main():
    for case in (values_round_trip, failed_statement_aborts_the_transaction, errors_clients_act_on,
                 nothing_committed_by_halves):
        conn = connect()
        case(conn)
        conn.close()
    mixed_load()
    print("psycopg2 cases passed")


if __name__ == "__main__":
    main()
