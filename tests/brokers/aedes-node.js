#!/usr/bin/env node
// One aedes broker for the tests and benchmarks: MQTT 3.1.1 on 127.0.0.1:PORT, its retained
// messages, wills and sessions in memory, or with --redis-port in a Redis on 127.0.0.1 that other
// nodes share (aedes-persistence-redis), their messages passed through it (mqemitter-redis): a
// cluster of as many nodes as are started on that Redis.
//
//   node aedes-node.js --port P [--redis-port R]
//
// Prints "ready" on standard output once it listens, and ends with status 0 on SIGTERM or SIGINT,
// its clients disconnected and its Redis connections closed. Anything that goes wrong is one line
// on standard error and status 1 (2 for a wrong command line); a Redis refused or lost is one.
'use strict'

const net = require('node:net')

function usage (why) {
  process.stderr.write(`aedes-node: ${why}; usage: aedes-node.js --port P [--redis-port R]\n`)
  process.exit(2)
}

function parse (argv) {
  const options = {}
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i]
    const value = argv[i + 1]
    if (name !== '--port' && name !== '--redis-port') usage(`unknown option '${name}'`)
    if (!/^[0-9]+$/.test(value ?? '') || Number(value) < 1 || Number(value) > 65535) {
      usage(`${name} takes a port from 1 to 65535`)
    }
    options[name.slice(2)] = Number(value)
  }
  if (options.port === undefined) usage('--port is needed')
  return options
}

function fail (error) {
  process.stderr.write(`aedes-node: ${error && error.message ? error.message : error}\n`)
  process.exit(1)
}

async function main () {
  const options = parse(process.argv.slice(2))
  let modules
  try {
    modules = {
      aedes: await import('aedes'),
      ...(options['redis-port'] && {
        persistence: require('aedes-persistence-redis'),
        MQEmitterRedis: require('mqemitter-redis'),
        Redis: require('ioredis')
      })
    }
  } catch (error) {
    fail(`${error.message.split('\n')[0]}: run npm ci --prefix tests/brokers`)
  }
  const settings = {}
  let stopping = false
  if (options['redis-port']) {
    // Its connections, each watched: a Redis refused or gone is one line and the end, instead of
    // retrying for ever while the node answers as no part of a cluster.
    // No ready check: its INFO may reach a connection that mqemitter-redis has just put in
    // subscriber mode, where Redis refuses it (seen under load); the tests' Redis loads no data.
    const connection = () => new modules.Redis({ host: '127.0.0.1', port: options['redis-port'],
      maxRetriesPerRequest: 0, retryStrategy: () => null, enableReadyCheck: false })
      .on('error', (error) => stopping || fail(`Redis at 127.0.0.1:${options['redis-port']}: ${error.message}`))
    settings.persistence = modules.persistence({ conn: connection() })
    settings.mq = modules.MQEmitterRedis({ subConn: connection(), pubConn: connection() })
  }
  const broker = await modules.aedes.Aedes.createBroker(settings)
  const server = net.createServer((socket) => {
    socket.setNoDelay(true) // as the bridge does: a state goes out at once
    broker.handle(socket)
  })
  server.on('error', fail)
  server.listen(options.port, '127.0.0.1', () => process.stdout.write('ready\n'))

  const stop = () => {
    if (stopping) return
    stopping = true
    server.close()
    broker.close(async () => {
      if (settings.persistence) await settings.persistence.destroy().catch(() => {})
      process.exit(0)
    })
    setTimeout(() => process.exit(0), 2000).unref() // a client that never lets go
  }
  // What the Redis clients still had under way when they closed is dropped with them.
  process.on('unhandledRejection', (error) => stopping || fail(error))
  process.on('SIGTERM', stop)
  process.on('SIGINT', stop)
}

main().catch(fail)
