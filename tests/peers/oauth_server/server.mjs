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
//                "accessTokenTTL" (seconds, default 3600) ],
//   "serviceAccounts": [ { "client_email", "jwk": the public key, with
//                "kid" = the key file's private_key_id } ]
// }
// Each token request adds "token <HTTP status> <client_id or -> <grant_type>"
// to the log, so that a test can count what the client asked for.
//
// oidc-provider has no JWT bearer grant (RFC 7523 section 2.1, what a Google
// service account uses), and its token endpoint wants a client
// authentication that this grant does not send. So /google/token serves
// that grant here, the way Google's token endpoint answers it: the
// assertion (RS256, iss = a service account below, aud = this URL, exp at
// most an hour after iat, a scope) earns an access token signed with the
// same key and claims as the provider's own, with sub = the assertion's sub
// (the mailbox); anything wrong is 400 invalid_grant.
//
// It must run from a folder whose node_modules holds oidc-provider
// (scripts/setup installs it into build/peers/oauth_server).
import fs from 'node:fs';
import https from 'node:https';
import crypto, { generateKeyPairSync } from 'node:crypto';

import * as jose from 'jose';
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

const serviceAccounts = new Map((config.serviceAccounts ?? []).map((a) => [a.client_email, a]));
const signer = await jose.importJWK(signingKey, 'RS256');
const jwtBearerUrl = `${issuer}/google/token`;
const JWT_BEARER = 'urn:ietf:params:oauth:grant-type:jwt-bearer';

async function jwtBearerGrant(form) {
  const refuse = (description) => ({ status: 400, body: { error: 'invalid_grant', error_description: description } });
  if (form.get('grant_type') !== JWT_BEARER) {
    return { status: 400, body: { error: 'unsupported_grant_type', error_description: 'Invalid grant_type' } };
  }
  const assertion = form.get('assertion') ?? '';
  let claims;
  try {
    const unverified = jose.decodeJwt(assertion);
    const account = serviceAccounts.get(unverified.iss);
    if (!account) return refuse('Invalid grant: account not found');
    const key = await jose.importJWK(account.jwk, 'RS256');
    const { protectedHeader, payload } = await jose.jwtVerify(assertion, key, {
      algorithms: ['RS256'], audience: jwtBearerUrl, issuer: account.client_email, requiredClaims: ['exp', 'iat'],
    });
    if (protectedHeader.kid !== undefined && protectedHeader.kid !== account.jwk.kid) return refuse('Invalid JWT Signature.');
    if (payload.exp - payload.iat > 3600) return refuse('Invalid JWT: Token must be a short-lived token (60 minutes)');
    claims = payload;
  } catch (e) {
    return refuse(e.code === 'ERR_JWS_SIGNATURE_VERIFICATION_FAILED' ? 'Invalid JWT Signature.' : `Invalid JWT: ${e.message}`);
  }
  const scopes = String(claims.scope ?? '').split(' ').filter((x) => config.scopes.includes(x));
  if (scopes.length === 0) return { status: 400, body: { error: 'invalid_scope', error_description: 'Invalid OAuth scope' } };
  const ttl = 3600;
  const accessToken = await new jose.SignJWT({ scope: scopes.join(' '), client_id: claims.iss })
    .setProtectedHeader({ alg: 'RS256', typ: 'at+jwt', kid: signingKey.kid })
    .setIssuer(issuer).setAudience(config.audience).setSubject(String(claims.sub ?? claims.iss))
    .setIssuedAt().setExpirationTime(`${ttl}s`).setJti(crypto.randomUUID())
    .sign(signer);
  return {
    status: 200,
    body: { access_token: accessToken, expires_in: ttl, token_type: 'Bearer' },
    clientId: claims.iss,
  };
}

const providerCallback = provider.callback();
function serve(req, res) {
  if (req.url !== '/google/token') return providerCallback(req, res);
  let text = '';
  req.setEncoding('utf8');
  req.on('data', (chunk) => { text += chunk; });
  req.on('end', async () => {
    const form = new URLSearchParams(req.method === 'POST' ? text : '');
    const answer = await jwtBearerGrant(form);
    fs.appendFileSync(config.log, `token ${answer.status} ${answer.clientId ?? '-'} ${form.get('grant_type') ?? '-'}\n`);
    res.writeHead(answer.status, { 'Content-Type': 'application/json;charset=UTF-8', 'Cache-Control': 'no-store' });
    res.end(JSON.stringify(answer.body));
  });
}

const server = https.createServer({ key: fs.readFileSync(config.key), cert: fs.readFileSync(config.cert) }, serve);
server.listen(port, '127.0.0.1', () => {
  fs.writeFileSync(`${config.portFile}.tmp`, String(port));
  fs.renameSync(`${config.portFile}.tmp`, config.portFile);
});
const stop = () => server.close(() => process.exit(0));
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
