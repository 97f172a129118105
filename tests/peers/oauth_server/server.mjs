// A real OAuth 2.0 authorization server for the tests, on loopback over
// HTTPS: oidc-provider with the client credentials grant, clients that
// authenticate with client_secret_post, client_secret_basic or
// private_key_jwt, and JWT access tokens (RS256) signed with a key made at
// start and published at /jwks.
//
// usage: node server.mjs CONFIG.json
// CONFIG: {
//   "port": 0,                       0: a free port
//   "portFile": "...",               the port is written here when listening
//   "log": "...",                    one line per token request (below)
//   "key": "...pem", "cert": "...pem",   the server's TLS key and certificate
//   "audience": "https://smtp.test",     the access tokens' aud
//   "scopes": ["https://outlook.office365.com/.default", ...],
//   "clients": [ oidc-provider client metadata, plus an optional
//                "accessTokenTTL" (seconds, default 3600) ]
// }
// Each token request adds "token <HTTP status> <client_id or -> <grant_type>"
// to the log, so that a test can count what the client asked for.
//
// It must run from a folder whose node_modules holds oidc-provider
// (scripts/setup installs it into build/peers/oauth_server).
import fs from 'node:fs';
import https from 'node:https';
import { generateKeyPairSync } from 'node:crypto';

import Provider from 'oidc-provider';

const config = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const ttlByClient = new Map();
const clients = config.clients.map((client) => {
  const { accessTokenTTL, ...metadata } = client;
  ttlByClient.set(metadata.client_id, accessTokenTTL ?? 3600);
  return {
    grant_types: ['client_credentials'],
    response_types: [],
    redirect_uris: [],
    scope: config.scopes.join(' '),
    ...metadata,
  };
});

const { privateKey } = generateKeyPairSync('rsa', { modulusLength: 2048 });
const signingKey = { ...privateKey.export({ format: 'jwk' }), kid: 'test-signing-key', use: 'sig', alg: 'RS256' };

const port = await new Promise((resolve) => {
  if (config.port) return resolve(config.port);
  const probe = https.createServer();
  probe.listen(0, '127.0.0.1', () => {
    const { port: free } = probe.address();
    probe.close(() => resolve(free));
  });
});
const issuer = `https://127.0.0.1:${port}`;

const provider = new Provider(issuer, {
  clients,
  jwks: { keys: [signingKey] },
  cookies: { keys: ['quotawarden-test-cookie-key'] },
  clientAuthMethods: ['client_secret_basic', 'client_secret_post', 'private_key_jwt'],
  enabledJWA: { clientAuthSigningAlgValues: ['RS256', 'PS256', 'ES256'] },
  scopes: config.scopes,
  features: {
    devInteractions: { enabled: false },
    clientCredentials: { enabled: true },
    resourceIndicators: {
      enabled: true,
      defaultResource: () => config.audience,
      useGrantedResource: () => true,
      getResourceServerInfo: (ctx, resource, client) => {
        if (resource !== config.audience) throw new Provider.errors.InvalidTarget();
        return {
          scope: config.scopes.join(' '),
          audience: config.audience,
          accessTokenTTL: ttlByClient.get(client.clientId) ?? 3600,
          accessTokenFormat: 'jwt',
          jwt: { sign: { alg: 'RS256' } },
        };
      },
    },
  },
});

provider.use(async (ctx, next) => {
  await next();
  if (ctx.path === '/token') {
    const clientId = ctx.oidc?.client?.clientId ?? '-';
    const grant = ctx.oidc?.params?.grant_type ?? '-';
    fs.appendFileSync(config.log, `token ${ctx.status} ${clientId} ${grant}\n`);
  }
});

const server = https.createServer(
  { key: fs.readFileSync(config.key), cert: fs.readFileSync(config.cert) },
  provider.callback(),
);
server.listen(port, '127.0.0.1', () => {
  fs.writeFileSync(`${config.portFile}.tmp`, String(port));
  fs.renameSync(`${config.portFile}.tmp`, config.portFile);
});
const stop = () => server.close(() => process.exit(0));
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
